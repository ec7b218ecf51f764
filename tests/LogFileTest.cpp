// The company's log file: bounded by size with a fixed number of older files
// kept, written in batches, with error lines on disk at once.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "HostFixture.h"

namespace {

using testsupport::HostFixture;

class LogFileTest : public HostFixture {
protected:
    void TearDown() override {
        ::unsetenv("REMINDERS_LOG_MAX_BYTES");
        ::unsetenv("REMINDERS_LOG_FILES");
        HostFixture::TearDown();
    }

    std::string LogPath(int generation) const {
        return FilePath() + ".log" + (generation ? "." + std::to_string(generation) : "");
    }

    // Starts over with no log files and the given limits (empty: unset).
    void OpenWith(const std::string& maxBytes, const std::string& files) {
        Ctx().CloseCompanyFile();
        for (int g = 0; g < 10; ++g) std::filesystem::remove(LogPath(g));
        maxBytes.empty() ? ::unsetenv("REMINDERS_LOG_MAX_BYTES")
                         : ::setenv("REMINDERS_LOG_MAX_BYTES", maxBytes.c_str(), 1);
        files.empty() ? ::unsetenv("REMINDERS_LOG_FILES") : ::setenv("REMINDERS_LOG_FILES", files.c_str(), 1);
        ASSERT_TRUE(Ctx().OpenCompanyFile(FilePath()).Succeeded());
    }

    // Lines of one length: a fixed source and a numbered message.
    static void Write(int number, int level = 0, std::size_t padding = 0) {
        Util::LogRecord r;
        r.level = level;
        r.eventType = level >= 4 ? 5 : 6;
        r.file = "Src\\LogProbe";
        r.line = 7;
        r.function = "LogProbe::Write";
        char text[32];
        std::snprintf(text, sizeof text, "line %04d", number);
        r.message = text + std::string(padding, '.');
        Host::HostContext::Get().Log(r);
    }

    std::vector<std::string> Lines(int generation) const {
        std::ifstream in(LogPath(generation));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(" | ") + 3));
        return lines;
    }

    // The length of one written line, newline included.
    std::uintmax_t LineBytes() {
        OpenWith("", "");
        Write(0);
        Ctx().CloseCompanyFile();
        const std::uintmax_t bytes = std::filesystem::file_size(LogPath(0));
        std::filesystem::remove(LogPath(0));
        return bytes;
    }
};

TEST_F(LogFileTest, MovesTheLogAsideAtItsLimitAndKeepsTheNewestFiles) {
    const std::uintmax_t line = LineBytes();
    struct Case {
        const char* what;
        double linesPerFile;  // the limit, in lines (-1: the text in `limitText`)
        const char* limitText;
        const char* kept;
        int written;
        int reopenAfter;  // close and open again after this many lines (0: never)
        std::vector<int> expected;  // lines in .log, .log.1, .log.2, ...: all consecutive, newest last
    };
    const Case cases[] = {
        {"exactly at the limit: still one file", 4.5, "", "2", 4, 0, {4}},
        {"one line past the limit starts a new file", 4.5, "", "2", 5, 0, {1, 4}},
        {"only the newest old files are kept", 4.5, "", "2", 30, 0, {2, 4, 4}},
        {"keeping none truncates instead", 4.5, "", "0", 10, 0, {2}},
        {"a line longer than the limit is kept whole", 0.5, "", "5", 3, 0, {1, 1, 1}},
        {"what an earlier run wrote counts toward the limit", 4.5, "", "2", 6, 3, {2, 4}},
        {"a limit with a suffix", -1, "1K", "1", 1000, 0, {-1, -1}},
        {"a limit that is not a number leaves the default", -1, "ten", "1", 100, 0, {100}},
        {"a count that is not a number leaves the default", 4.5, "", "many", 30, 0, {2, 4, 4, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string limit =
            c.linesPerFile < 0 ? c.limitText : std::to_string(static_cast<std::uintmax_t>(c.linesPerFile * line));
        OpenWith(limit, c.kept);
        for (int i = 1; i <= c.written; ++i) {
            Write(i);
            if (i == c.reopenAfter) {
                Ctx().CloseCompanyFile();
                ASSERT_TRUE(Ctx().OpenCompanyFile(FilePath()).Succeeded());
            }
        }
        Ctx().CloseCompanyFile();

        std::vector<std::string> all;  // oldest first
        int files = 0;
        while (std::filesystem::exists(LogPath(files))) ++files;
        ASSERT_EQ(static_cast<std::size_t>(files), c.expected.size());
        for (int g = files - 1; g >= 0; --g) {
            const auto lines = Lines(g);
            if (c.expected[static_cast<std::size_t>(g)] >= 0) {
                EXPECT_EQ(static_cast<int>(lines.size()), c.expected[static_cast<std::size_t>(g)]) << "file " << g;
            }
            if (c.linesPerFile >= 1) {
                EXPECT_LE(std::filesystem::file_size(LogPath(g)), c.linesPerFile * line);
            }
            all.insert(all.end(), lines.begin(), lines.end());
        }
        if (c.linesPerFile < 0 && std::string(c.limitText) == "1K") {
            EXPECT_LE(std::filesystem::file_size(LogPath(0)), 1024u);
            EXPECT_LE(std::filesystem::file_size(LogPath(1)), 1024u);
            EXPECT_GT(std::filesystem::file_size(LogPath(1)), 1024u - line);
        }
        // Nothing lost or repeated within what is kept: the newest lines, in order.
        ASSERT_FALSE(all.empty());
        for (std::size_t k = 0; k < all.size(); ++k) {
            char text[32];
            std::snprintf(text, sizeof text, "line %04d", c.written - static_cast<int>(all.size() - 1 - k));
            EXPECT_EQ(all[k], text);
        }
    }
}

TEST_F(LogFileTest, ErrorLinesReachTheDiskAtOnceOthersByCloseAtTheLatest) {
    struct Case {
        const char* what;
        std::vector<int> levels;
        int onDiskBeforeClose;
    };
    const Case cases[] = {
        {"ordinary lines wait", {0, 1, 0}, 0},
        {"an error line writes itself and what came before", {0, 1, 4}, 3},
        {"lines after the last error wait", {4, 0, 1}, 1},
        {"a batch's worth of lines is written without an error", std::vector<int>(2000, 0), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenWith("", "");
        for (std::size_t i = 0; i < c.levels.size(); ++i) Write(static_cast<int>(i), c.levels[i], 40);
        const int before = static_cast<int>(Lines(0).size());
        if (c.onDiskBeforeClose >= 0) {
            EXPECT_EQ(before, c.onDiskBeforeClose);
        } else {
            EXPECT_GT(before, 0);
            EXPECT_LT(before, static_cast<int>(c.levels.size()));
        }
        Ctx().CloseCompanyFile();
        EXPECT_EQ(Lines(0).size(), c.levels.size());
    }
}

} // namespace
