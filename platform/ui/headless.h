// headless.h - the headless front end: runs a program's dialogs from a script
// and writes the transcript of what happened (the verbs and the line formats
// are described in README.md next to this file).
#pragma once

#include "frontend.h"

#include <cstdio>
#include <deque>
#include <istream>
#include <map>
#include <vector>
#include <mutex>
#include <optional>
#include <string>

namespace ui::detail {

class Headless : public Frontend {
public:
    // Reads script lines from `script`; writes the transcript to `out`.
    Headless(std::istream& script, std::FILE* out);
    ~Headless() override;

    void createWindow(Dialog& d, Dialog* owner) override;
    void showWindow(Dialog& d) override;
    void destroyWindow(Dialog& d, int result) override;
    void refresh(Dialog& d, const Changes& what) override;
    void runLoop(Dialog& d) override;
    void wake() override {}
    int messageBox(Dialog* owner, const std::string& text, const std::string& title,
                   unsigned flags) override;
    std::optional<std::string> fileDialog(Dialog* owner, bool save,
                                          const FileDialogSpec& spec) override;
    void setBusyCursor(bool) override {}
    void transcript(const std::string& line) override;
    bool headless() const override { return true; }

    // After the program body has returned: fails when script lines were
    // left unread or queued answers unused; returns the exit code (0).
    int finish();

    // Queues the answers and file choices the script starts with, for boxes
    // shown while the program's first dialog initialises (before its loop
    // reads the script).
    void preload();

    // Prints the failure with the script line it happened at, then exits
    // the process with code 1.
    [[noreturn]] void fail(const std::string& what);

private:
    bool nextLine(std::string& line);
    void execute(const std::string& line);
    Dialog& top();
    // The control a script line names at the start of s: its ID, or its
    // caption in double quotes. rest is what follows the single separating
    // blank. Fails the script when no control (or several) fits.
    int controlAt(Dialog& d, const std::string& s, std::string& rest);
    int controlByCaption(Dialog& d, const std::string& caption);
    void queueChoice(const std::string& verb, const std::string& rest);
    void expect(Dialog& d, const std::string& rest);
    void dump(Dialog& d);
    void printMarks(Dialog& d);
    void endOfScript(Dialog& d);
    // Lets workers run until they block and the dialog thread's queue is
    // empty. False when the running loop's dialog ended meanwhile.
    bool drain();
    void stepTo(int64_t target);
    void waitIdle();

    std::istream& in_;
    std::FILE* out_;
    std::mutex outM_;
    int lineNo_ = 0;
    std::optional<std::string> held_;  // a line read ahead by preload
    bool ended_ = false;             // the script has no more lines
    bool endAnnounced_ = false;
    std::deque<int> answers_;
    std::deque<std::optional<std::string>> files_;
    std::optional<int64_t> pendingTarget_;  // an advance cut short by a closing dialog
    bool pendingWait_ = false;
    int64_t waitStart_ = 0;
    std::map<Dialog*, std::vector<Mark>> shown_;  // recorded canvas per open dialog
};

// Quoting and escapes of the transcript and the script.
std::string quote(const std::string& s);      // "..." with \n \r \t \\ \" escaped
std::string unescape(const std::string& s);   // \n \r \t \\ decoded
std::string colorText(Color c);               // #RRGGBB
std::string resultName(int result);           // OK, Cancel, ..., or the number
std::string kindName(Kind k);

}  // namespace ui::detail
