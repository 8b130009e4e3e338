// A block rewrite killed with SIGKILL: Peliskar runs in a child process and
// dies at a chosen point of the rewrite (before one of its device writes, or
// inside a page write, half way through the simulated store's copy), or at a random
// moment; the block it leaves is then read back through the device library.
// It must be the block as before, or the block erased and written again
// from its first page on, never a page with part of its data.
#include "inspector/tests/inspector_test_support.h"

#include <chrono>
#include <random>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace inspector;
using namespace inspector::testing;

namespace {

enum class Death { Before, Inside };

struct Flash {
    const char* profile;
    unsigned pages, pageSize, spareSize;
};

void PrintTo(const Flash& f, std::ostream* os) { *os << f.profile; }

class KillTest : public InspectorTest, public ::testing::WithParamInterface<Flash> {
protected:
    static constexpr unsigned kBlock = 12, kTarget = 5;

    void SetUp() override {
        InspectorTest::SetUp();
        createDevice("fd", GetParam().profile);
        std::mt19937 rng(99);
        data_ = randomBytes(rng, GetParam().pageSize);
        spare_ = randomBytes(rng, 16);
    }

    // The block as the rewrite makes it.
    std::vector<Page> expected() const {
        std::vector<Page> e = before_;
        e[kTarget] = written(data_, spare_, GetParam().spareSize);
        return e;
    }

    std::string script(int writes) const {
        std::string s = "text 1006 " + std::to_string(kBlock) + "\ntext 1008 " + std::to_string(kTarget) + "\n" +
                        "text 1023 " + hexText(spare_.data(), 16) + "\ntext 1001 " +
                        hexText(data_.data(), data_.size()) + "\n";
        for (int i = 0; i < writes; ++i) s += "answer OK\nclick 1034\n";
        return s;
    }

    // Runs Peliskar in a child that dies at device write number `at` of the
    // rewrite (0 = the erase, then the spare and the data of each page in
    // turn). Returns how the child ended.
    int runChild(int at, Death how) {
        std::fflush(nullptr);
        const pid_t kid = fork();
        if (kid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            int writes = 0;
            runHooked(script(1), [&writes, at, how](HookedDevice& d) {
                d.before = [&writes, at, how](const std::string& op, unsigned) {
                    if (op != "eraseBlock" && op != "writeRedundant" && op != "writePhysical") return true;
                    if (writes++ == at) {
                        if (how == Death::Before) kill(getpid(), SIGKILL);
                        VelkSimFault("fd", "crash-mid-write");   // dies inside this write
                    }
                    return true;
                };
            });
            _exit(0);
        }
        int status = 0;
        waitpid(kid, &status, 0);
        return status;
    }

    // Checks the block against the rewrite's order: a prefix of pages as
    // they should be (either content where `either` allows both), then at
    // most one page whose spare is written and whose data is still erased,
    // then erased pages. Returns the length of the written prefix.
    unsigned checkBlock(const std::vector<Page>& after, bool either) {
        const std::vector<Page> want = expected();
        const unsigned n = unsigned(after.size());
        if (after == before_) return n;
        unsigned j = 0;
        while (j < n && (after[j] == want[j] || (either && after[j] == before_[j]))) ++j;
        if (j < n && !erased(after[j])) {
            // The spare of page j is written, its data not yet.
            EXPECT_TRUE(after[j].spare == want[j].spare || (either && after[j].spare == before_[j].spare))
                << "page " << j << ": a spare area neither old, new nor erased";
            EXPECT_EQ(after[j].data, std::vector<uint8_t>(after[j].data.size(), 0xFF))
                << "page " << j << ": torn data";
            ++j;
        }
        for (unsigned i = j; i < n; ++i) EXPECT_TRUE(erased(after[i])) << "page " << i << " out of order";
        return j;
    }

    std::vector<Page> before_;
    std::vector<uint8_t> data_, spare_;
};

}  // namespace

TEST_P(KillTest, AKilledRewriteLeavesTheBlockAsBeforeOrRewrittenInPageOrder) {
    const Flash s = GetParam();
    const int writes = int(2 * s.pages + 1);
    // Every point for small pages; the edges and the middle for large ones.
    std::vector<int> points;
    for (int k = 0; k <= writes; ++k)
        if (s.pages <= 32 || k < 4 || k > writes - 4 || k == writes / 2 || k == writes / 2 + 1) points.push_back(k);
    for (Death how : {Death::Before, Death::Inside}) {
        for (int k : points) {
            // No write left to die in; and the simulator's crash fault cuts
            // store copies, not erases (an erase cut short is redone by its
            // journal all the same).
            if (how == Death::Inside && (k == writes || k == 0)) continue;
            SCOPED_TRACE(std::string(how == Death::Before ? "killed before" : "killed inside") + " write " +
                         std::to_string(k));
            {
                Nand nand;
                before_ = nand.fillBlock(0, kBlock, s.pages, 1000 + k);
            }
            const int status = runChild(k, how);
            if (k == writes) {
                ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the rewrite runs through";
            } else {
                ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
            }
            Nand nand;   // the next user of the device completes a write cut half way
            const std::vector<Page> after = nand.readBlock(0, kBlock, s.pages);
            const unsigned prefix = checkBlock(after, false);
            // Where it stopped: nothing done before the erase; after write k
            // (or inside it) the pages up to it.
            const int done = how == Death::Before ? k : k + 1;
            if (done == 0) {
                EXPECT_EQ(after, before_) << "killed before the erase: the block as before";
            } else if (done >= writes) {
                EXPECT_EQ(after, expected());
            } else {
                // Write 2i + 1 is the spare of page i, write 2i + 2 its data.
                EXPECT_EQ(prefix, unsigned(done) / 2) << "pages written";
            }
            // The neighbours are untouched.
            EXPECT_TRUE(erased(nand.read(0, kBlock + 1, 0)));
        }
    }
}

TEST_P(KillTest, KilledAtARandomMomentOfRepeatedRewrites) {
    const Flash s = GetParam();
    const unsigned seed = std::random_device{}();
    std::cout << "[ seed     ] " << seed << "\n";
    std::mt19937 rng(seed);
    {
        Nand nand;
        before_ = nand.fillBlock(0, kBlock, s.pages, seed);
    }
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::fflush(nullptr);
        const pid_t kid = fork();
        if (kid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            runPeliskar(script(20000));
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 80));
        kill(kid, SIGKILL);
        int status = 0;
        waitpid(kid, &status, 0);
        Nand nand;
        const std::vector<Page> after = nand.readBlock(0, kBlock, s.pages);
        checkBlock(after, true);
        // Put the block back as it was for the next round.
        before_ = nand.fillBlock(0, kBlock, s.pages, seed + round + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Profiles, KillTest,
                         ::testing::Values(Flash{"flashdisk", 32, 512, 16}, Flash{"flashdisk2k", 64, 2048, 64}),
                         [](const auto& info) { return std::string(info.param.profile); });
