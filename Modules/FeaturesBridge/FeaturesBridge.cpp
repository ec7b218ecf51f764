// The prompt module: asks the person at the terminal whether to review the
// due payment reminders, send them now, or leave them for later.
//
// Answers: 0 = later (or closed), 1 = review, 2 = send now. A preset answer in
// REMINDERS_PROMPT_ANSWER (later|review|send, or a number) is taken without
// asking; otherwise the person at the terminal is asked, and without a
// terminal on standard input the answer is 0.

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {
int ParseAnswer(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.erase(0, 1);
    if (text == "r" || text == "review") return 1;
    if (text == "s" || text == "send" || text == "send now") return 2;
    if (text.empty() || text == "l" || text == "later") return 0;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (end && *end == '\0') return static_cast<int>(n);
    return -1;
}
} // namespace

extern "C" __attribute__((visibility("default"))) int LaunchTxnReminderPrompt() {
    if (const char* preset = std::getenv("REMINDERS_PROMPT_ANSWER")) return ParseAnswer(preset);
    if (!::isatty(STDIN_FILENO)) return 0;
    for (;;) {
        std::cout << "\nPayment reminders are due today.\n"
                     "  [r] Review them before sending\n"
                     "  [s] Send them now\n"
                     "  [l] Later\n"
                     "Your choice [l]: "
                  << std::flush;
        std::string line;
        if (!std::getline(std::cin, line)) return 0;  // closed
        const int answer = ParseAnswer(line);
        if (answer >= 0 && answer <= 2) return answer;
        std::cout << "Please answer r, s or l.\n";
    }
}
