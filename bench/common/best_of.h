// The best (shortest) wall time of repeats runs of work, each after its prepare, in seconds.
#pragma once

#include <QElapsedTimer>

#include <algorithm>
#include <functional>

namespace TovanelBench {

inline double bestOf(int repeats, const std::function<void()>& prepare, const std::function<void()>& work)
{
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        prepare();
        QElapsedTimer t;
        t.start();
        work();
        best = std::min(best, t.nsecsElapsed() / 1e9);
    }
    return best;
}

} // namespace TovanelBench
