// Kesso's dialog driven by scripts through the headless front end on a
// temporary bus: the list, the question, the removal and the rebuilt list,
// and the built program itself.
#include "regclean/regclean_dialog.h"
#include "regclean/tests/registry_support.h"

#include "platform/ui/scripted.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace regclean::testing {
namespace {

struct Outcome {
    int exitCode = -1;
    std::string transcript;
    bool has(const std::string& line) const { return ("\n" + transcript).find("\n" + line + "\n") != std::string::npos; }
    size_t count(const std::string& needle) const {
        size_t n = 0;
        for (size_t at = transcript.find(needle); at != std::string::npos; at = transcript.find(needle, at + 1)) ++n;
        return n;
    }
};

class KessoDialog : public RegistryTest {
protected:
    Outcome run(const std::string& script) {
        auto r = ui::scripting::runScript(script, {"Kesso", "Kesso"}, [] {
            RegCleanDialog dlg;
            dlg.runModal();
        });
        return {r.exitCode, r.transcript};
    }
    const std::string kQuestion = "box \"Warning\" warning OKCancel \"Delete Registry ?\"";
};

TEST_F(KessoDialog, OpensEmptyAndAnEmptyListAsksNoQuestion) {
    recordUsb("Vid_3a7c&Pid_0760", "5&A&0&1");
    // No answer is queued: a question would fail the script.
    const Outcome r = run("expect-title Kesso\nexpect 1001 count 0\nclick 3\nexpect 1001 count 0\nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.count("box "), 0u) << r.transcript;
    EXPECT_TRUE(r.has("dialog \"Kesso\" closed Cancel")) << r.transcript;
    EXPECT_TRUE(exists(deviceKey("Vid_3a7c&Pid_0760")));

    // Nothing to list: the list stays empty and still no question.
    ASSERT_TRUE(store().deleteKey(deviceKey("Vid_3a7c&Pid_0760")));
    const Outcome empty = run("click 1002\nexpect 1001 count 0\nclick 3\nclick 2\n");
    EXPECT_EQ(empty.exitCode, 0) << empty.transcript;
    EXPECT_EQ(empty.count("box "), 0u) << empty.transcript;
}

TEST_F(KessoDialog, ShowRegistryListsTheEntriesSortedAndAgainFromScratch) {
    recordUsb("Vid_3a7c&Pid_0760", "5&A&0&1");
    recordUsb("Vid_046d&Pid_c52b", "5&B&0&1");
    recordUsb("VID_3A7C&PID_0770", "5&C&0&1");
    record("Vid_046d&Pid_c077", "6&1&0&1", "HIDClass", {"USB\\Vid_046d&Pid_c077"}, kHidClassGuid);
    const Outcome r = run(
        "click 1002\n"
        "expect 1001 count 2\n"
        "expect 1001 item:0 Vid_046d&Pid_c52b\n"
        "expect 1001 item:1 Vid_3a7c&Pid_0760\n"
        "expect 1001 selected none\n"
        "select 1001 1\n"
        "click 1002\n"
        "expect 1001 count 2\n"
        "expect 1001 selected none\n"
        "click 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
}

TEST_F(KessoDialog, DeleteRemovesTheSelectedEntriesOnOkOnly) {
    recordUsb("Vid_3a7c&Pid_0760", "5&A&0&1", "0100");
    recordUsb("Vid_3a7c&Pid_0760", "5&B&0&2", "0200");
    recordUsb("Vid_3a7c&Pid_07600", "5&C&0&1");
    recordUsb("Vid_3a7c&Pid_0721", "5&D&0&1");
    recordUsb("Vid_046d&Pid_c52b", "5&E&0&1");

    // Cancel: nothing removed, the list as it was.
    Outcome r = run("click 1002\nselect 1001 2\nanswer Cancel\nclick 3\nexpect 1001 count 4\nexpect 1001 selected 2\nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has(kQuestion + " -> Cancel")) << r.transcript;
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_0760", "5&A&0&1")));

    // OK with nothing selected: asked, nothing removed, listed again.
    r = run("click 1002\nanswer OK\nclick 3\nexpect 1001 count 4\nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has(kQuestion + " -> OK")) << r.transcript;
    for (const char* d : {"Vid_3a7c&Pid_0760", "Vid_3a7c&Pid_07600", "Vid_3a7c&Pid_0721", "Vid_046d&Pid_c52b"})
        EXPECT_TRUE(exists(deviceKey(d))) << d;

    // Two entries selected (0 and 2 of Vid_046d&Pid_c52b, Vid_3a7c&Pid_0721,
    // Vid_3a7c&Pid_0760, Vid_3a7c&Pid_07600): both revisions of 0760 go, the
    // look-alike 07600 stays.
    r = run(
        "click 1002\n"
        "select 1001 0\n"
        "select 1001 2\n"
        "answer OK\n"
        "click 3\n"
        "expect 1001 count 2\n"
        "expect 1001 item:0 Vid_3a7c&Pid_0721\n"
        "expect 1001 item:1 Vid_3a7c&Pid_07600\n"
        "click 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.count("box "), 1u) << r.transcript;
    EXPECT_FALSE(exists(deviceKey("Vid_3a7c&Pid_0760")));
    EXPECT_FALSE(exists(deviceKey("Vid_046d&Pid_c52b")));
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_07600", "5&C&0&1")));
    EXPECT_TRUE(exists(instanceKey("Vid_3a7c&Pid_0721", "5&D&0&1")));
}

TEST_F(KessoDialog, EachFailedRemovalShowsErrorAndTheRestIsRemoved) {
    const char* a[] = {"instance=5&A&0&1", nullptr};
    const char* b[] = {"instance=5&B&0&2", nullptr};
    const char* c[] = {"instance=5&C&0&3", nullptr};
    ASSERT_NE(VelkSimCreate("r1", "reader", a), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimCreate("r2", "reader", b), 0) << VelkSimLastError();
    ASSERT_NE(VelkSimCreate("r3", "reader", c), 0) << VelkSimLastError();
    // Two of them are attached without a record any more.
    ASSERT_TRUE(store().deleteKey(instanceKey("Vid_3a7c&Pid_0760", "5&A&0&1")));
    ASSERT_TRUE(store().deleteKey(instanceKey("Vid_3a7c&Pid_0760", "5&C&0&3")));
    const Outcome r = run("click 1002\nselect 1001 0\nanswer OK\nanswer OK\nanswer OK\nclick 3\nexpect 1001 count 0\nclick 2\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_EQ(r.count("box \"Kesso\" none OK \"Error!!\" -> OK"), 2u) << r.transcript;
    EXPECT_FALSE(exists(deviceKey("Vid_3a7c&Pid_0760")));
}

TEST_F(KessoDialog, TheCloseBoxEndsTheProgram) {
    recordUsb("Vid_3a7c&Pid_0760", "5&A&0&1");
    const Outcome r = run("close\n");
    EXPECT_EQ(r.exitCode, 0) << r.transcript;
    EXPECT_TRUE(r.has("dialog \"Kesso\" closed Cancel")) << r.transcript;
}

// The built program, as the console starts it, on a bus of its own.
TEST_F(KessoDialog, TheProgramListsTheRegistryOfItsBus) {
    recordUsb("Vid_3a7c&Pid_0760", "5&A&0&1");
    const std::string script = bus_.file("script.txt"), out = bus_.file("out.txt");
    std::ofstream(script) << "click 1002\nexpect 1001 count 1\nexpect 1001 item:0 Vid_3a7c&Pid_0760\nclick 2\n";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout)) _exit(99);
        setenv("VELK_SIM_DIR", bus_.bus().c_str(), 1);
        execl(KESSO_EXE, "Kesso", "--script", script.c_str(), static_cast<char*>(nullptr));
        _exit(98);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const std::string transcript = testsupport::readFile(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << transcript;
    EXPECT_NE(transcript.find("dialog \"Kesso\" closed Cancel"), std::string::npos) << transcript;
}

}  // namespace
}  // namespace regclean::testing
