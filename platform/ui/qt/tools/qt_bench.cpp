// qt_bench - figures of the Qt front end on the offscreen platform: how long a
// window takes to build, how fast a worker's control updates reach the
// widgets, how a growing list box keeps up, what updateWindow costs a handler
// that shows each change as it makes it. Prints figures; asserts nothing.
//
//   build-qt/platform/ui/qt/qt_bench
#include "qt_frontend.h"
#include "qt_window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QProgressBar>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

using namespace ui;

DialogTemplate bigTemplate(int rows)
{
    DialogTemplate t;
    t.caption = "Bench";
    t.cx = 400;
    t.cy = 20 + rows * 12;
    for (int r = 0; r < rows; ++r) {
        const int y = 5 + r * 12;
        t.controls.push_back({-1, Kind::Static, "LUN" + std::to_string(r) + ":", {5, y, 30, 8}, 0});
        t.controls.push_back({1000 + r, Kind::ProgressBar, "", {40, y, 150, 10}, 0});
        t.controls.push_back({2000 + r, Kind::Edit, "", {195, y, 60, 11}, 0});
        t.controls.push_back({3000 + r, Kind::PushButton, "Go", {260, y, 40, 11}, 0});
    }
    t.controls.push_back({9000, Kind::ListBox, "", {305, 5, 90, 100}, WS_VSCROLL});
    return t;
}

class Bench : public Dialog {
public:
    using Dialog::Dialog;
    std::function<void(Bench&)> during;
    bool onInitDialog() override
    {
        QTimer::singleShot(0, [this] { during(*this); });
        return true;
    }
};

bool waitFor(const std::function<bool()>& pred)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > 60000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int qargc = 1;
    auto fe = ui::qt::createFrontend(qargc, argv);
    (void)argc;
    if (!fe) return 2;
    detail::setFrontend(fe.get());
    detail::setDialogThread();

    const int rows = 50;
    {
        QElapsedTimer t;
        t.start();
        Bench d(bigTemplate(rows));
        qint64 shownAfter = 0;
        d.during = [&](Bench& b) {
            shownAfter = t.elapsed();
            b.endDialog(IDOK);
        };
        d.runModal();
        std::printf("window of %d controls: built and shown in %lld ms\n", rows * 4 + 1,
                    static_cast<long long>(shownAfter));
    }
    {
        Bench d(bigTemplate(7));
        d.during = [](Bench& b) {
            const int updates = 200000;
            std::atomic<bool> done{false};
            QElapsedTimer t;
            t.start();
            b.startWorker([&b, &done] {
                for (int i = 1; i <= updates; ++i) b.setPos(1000 + i % 7, i % 101);
                b.setRange(1006, 0, 1000);
                b.setPos(1006, 777);
                done = true;
            });
            auto* bar = qobject_cast<QProgressBar*>(
                qtfe::QtFrontend::windowOf(b)->controlWidget(*detail::indexOf(b, 1006)));
            int frames = 0;
            waitFor([&] {
                ++frames;
                return done && bar->value() == 777;
            });
            const qint64 ms = t.elapsed();
            std::printf("%d progress updates from a worker: last one shown after %lld ms (%.0f updates/s), "
                        "%d event-loop rounds meanwhile\n",
                        updates, static_cast<long long>(ms), ms > 0 ? updates * 1000.0 / ms : 0.0, frames);
            b.endDialog(IDOK);
        };
        d.runModal();
    }
    {
        Bench d(bigTemplate(3));
        d.during = [](Bench& b) {
            auto* list = qobject_cast<QListWidget*>(
                qtfe::QtFrontend::windowOf(b)->controlWidget(*detail::indexOf(b, 9000)));
            const int items = 5000;
            QElapsedTimer t;
            t.start();
            std::atomic<bool> done{false};
            b.startWorker([&b, &done] {
                for (int i = 0; i < items; ++i) b.addString(9000, "Block " + std::to_string(i) + " is bad");
                done = true;
            });
            waitFor([&] { return done && list->count() == items; });
            std::printf("%d list items added by a worker: all shown after %lld ms\n", items,
                        static_cast<long long>(t.elapsed()));
            b.endDialog(IDOK);
        };
        d.runModal();
    }
    {
        // A handler on the dialog thread: an item, a status text and a
        // progress position, then updateWindow, as the marker does per block.
        Bench d(bigTemplate(7));
        d.during = [](Bench& b) {
            const int items = 2000;
            QElapsedTimer t;
            t.start();
            for (int i = 0; i < items; ++i) {
                b.addString(9000, "Flash #0, Block #" + std::to_string(i));
                b.setText(2000, std::to_string(i));
                b.setPos(1000, i * 100 / items);
                b.updateWindow();
            }
            const qint64 ms = t.elapsed();
            std::printf("%d list items each shown at once with updateWindow: %.3f ms per item (%lld ms)\n", items,
                        items > 0 ? double(ms) / items : 0.0, static_cast<long long>(ms));
            b.endDialog(IDOK);
        };
        d.runModal();
    }
    detail::setFrontend(nullptr);
    return 0;
}
