#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "AppContext.h"
#include "CmdData.h"
#include "Host/DefaultTracker.h"
#include "Host/HostContext.h"
#include "Serve.h"

namespace testsupport {

// The sample company on a fixed day, one customer renamed to a script tag,
// and `reminders serve` running in this process on a free port.
class ServeFixture : public ::testing::Test {
protected:
    static constexpr const char* kHostile = "<script>alert(1)</script>";

    void SetUp() override { Start(app::ServeOptions()); }

    void Start(app::ServeOptions options) {
        char dir[] = "/tmp/serve-test-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        m_dir = dir;
        m_ctx.file = m_dir + "/company.db";
        m_ctx.today = "2026-03-10";
        Host::RegisterDefaultTracker();
        m_ctx.ApplyToday();
        m_ctx.Open(true);
        app::FillSample(m_ctx);
        std::ofstream(m_dir + "/rename.csv") << "id,name,parent,email,type,terms,hidden\n3," << kHostile
                                             << ",,office@cedarridge.test,Wholesale,Net 30,0\n";
        app::ImportCustomers(m_ctx, m_dir + "/rename.csv");
        m_server = std::make_unique<app::WebServer>(m_ctx, options);
        m_server->Bind();
        m_thread = std::thread([this] { m_server->Listen(); });
        m_client = std::make_unique<httplib::Client>("127.0.0.1", m_server->Port());
        m_client->set_connection_timeout(5);
        m_client->set_read_timeout(30);
        // Wait until the server answers.
        for (int i = 0; i < 200 && !m_client->Get("/"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    void TearDown() override {
        if (m_server) m_server->Stop();
        if (m_thread.joinable()) m_thread.join();
        m_client.reset();
        m_server.reset();
        Host::HostContext::Get().CloseCompanyFile();
        std::error_code ignored;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
    }

    std::string Origin() const { return "http://127.0.0.1:" + std::to_string(m_server->Port()); }
    std::string Cookie() const {
        return "reminders_token_" + std::to_string(m_server->Port()) + "=" + m_server->Token();
    }
    httplib::Headers Signed() const { return {{"Cookie", Cookie()}}; }

    httplib::Result Get(const std::string& path) { return m_client->Get(path.c_str(), Signed()); }

    // A form POST as the page sends it: cookie, same origin, token field.
    httplib::Result PostForm(const std::string& path, httplib::Params fields) {
        fields.emplace("_token", m_server->Token());
        httplib::Headers headers = Signed();
        headers.emplace("Origin", Origin());
        return m_client->Post(path.c_str(), headers, fields);
    }

    std::string m_dir;
    app::AppContext m_ctx;
    std::unique_ptr<app::WebServer> m_server;
    std::thread m_thread;
    std::unique_ptr<httplib::Client> m_client;
};

} // namespace testsupport
