// The built console opens the two dialogs from its buttons: each makes its
// own device list and the console is back as it was when they close.
#include "production_fixture.h"

#include <fcntl.h>

namespace production::testing {
namespace {

class ConsoleButtonsTest : public ProductionTest {
protected:
    Outcome tavrin(const std::string& script)
    {
        tmp_.write("console-script.txt", script);
        const std::string out = tmp_.file("console-out.txt");
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            if (!std::freopen(out.c_str(), "w", stdout))
                _exit(99);
            setenv("VELK_SIM_DIR", tmp_.bus().c_str(), 1);
            const std::string path = tmp_.file("console-script.txt");
            execl(TAVRIN_EXE, "Tavrin", "--script", path.c_str(), static_cast<char*>(nullptr));
            _exit(98);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        return Outcome{WIFEXITED(st) ? WEXITSTATUS(st) : -1, testsupport::readFile(out)};
    }
};

TEST_F(ConsoleButtonsTest, ReadWriteTestAndFormatOpenFromTheConsole)
{
    createReader("r");
    fillLuns(41);
    const std::vector<uint64_t> before = hashes("r");
    const Outcome o = tavrin("click 1002\nexpect-title ReaderTest\nexpect 1014 text (D:) CF\n"
                             "text 1038 10\nclick 1034\nwait\nexpect 1012 text All LUN is tested completely.\n"
                             "click 1041\n"
                             "click 1003\nexpect-title Format\nexpect 1020 text (F:) SD/MMC\nanswer No\nclick 1042\n"
                             "wait\nclick 2\nexpect 1003 enabled yes\nclick 1005\n");
    EXPECT_EQ(o.exitCode, 0) << o.transcript;
    EXPECT_TRUE(o.has("dialog \"ReaderTest\" closed OK")) << o.transcript;
    EXPECT_TRUE(o.has("dialog \"Format\" closed 0")) << o.transcript;
    EXPECT_EQ(hashes("r"), before);
}

}  // namespace
}  // namespace production::testing
