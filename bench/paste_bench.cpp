// A long paste into the address field: how long the paste itself takes, how
// soon the window answers afterwards (an event handled and the window painted
// again), the CPU the process uses while the field holds the text and its
// cursor blinks, and the peak resident memory. Nothing touches the network.
// Usage: paste_bench [MEGABYTES]   (10 by default; run it on a real display,
// bench/paste_figures runs it under Xvfb)
#include "platform/qt/QtForm.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int megabytes = argc > 1 ? std::atoi(argv[1]) : 10;
    platform::qt::QtForm form;
    form.show();
    // Without a window manager the window takes the focus itself once mapped.
    (void)QTest::qWaitForWindowExposed(&form);
    form.activateWindow();
    if (!QTest::qWaitForWindowActive(&form))
        std::fprintf(stderr, "paste_bench: the window did not become active\n");
    auto *field = form.widget<QLineEdit>(window::Text1);
    field->setFocus();
    QApplication::clipboard()->setText(QString(megabytes * 1024 * 1024, u'1'));

    QElapsedTimer clock;
    clock.start();
    field->paste();
    const qint64 pasteMs = clock.elapsed();

    // The window answers: a queued event is handled and the window painted.
    clock.restart();
    bool handled = false;
    QTimer::singleShot(0, &form, [&] { handled = true; });
    while (!handled)
        QCoreApplication::processEvents();
    form.repaint();
    const qint64 answerMs = clock.elapsed();

    // Idle with the field focused: only the cursor's blinking works.
    const double cpuBefore = cpuSeconds();
    QElapsedTimer idle;
    idle.start();
    QTest::qWait(3000);
    const double cpuShare = (cpuSeconds() - cpuBefore) / (double(idle.elapsed()) / 1000.0);

    std::printf("paste of %d MB: field holds %lld characters\n", megabytes, (long long)field->text().size());
    std::printf("paste %lld ms, window answers after %lld ms, idle CPU %.0f %% of a core, peak RSS %ld MB\n",
                (long long)pasteMs, (long long)answerMs, cpuShare * 100, peakKilobytes() / 1024);
    return 0;
}
