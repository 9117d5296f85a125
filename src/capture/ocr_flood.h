// ocr_flood: a flood fill over a grid, shared by the page's preparation and
// its chrome (capture/ocr_prepare.cpp, capture/ocr_chrome.cpp).
#pragma once

#include <QPoint>
#include <QRect>

#include <algorithm>
#include <vector>

namespace ocr_prepare {

// Floods the 4-connected region from `seed` in a w×h grid: a neighbour
// joins when `free` says so, and is `take`n at once; each pixel of the
// region, the seed first, goes to `visit`. Returns the region's bounding
// box. `stack` is the caller's, reused between calls.
template <class Free, class Take, class Visit>
QRect flood(int w, int h, QPoint seed, std::vector<QPoint>& stack, Free free, Take take, Visit visit)
{
    int left = seed.x(), right = seed.x(), top = seed.y(), bottom = seed.y();
    stack.assign(1, seed);
    take(seed);
    while (!stack.empty()) {
        const QPoint p = stack.back();
        stack.pop_back();
        visit(p);
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
        for (const QPoint d : { QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1) }) {
            const QPoint q = p + d;
            if (q.x() < 0 || q.y() < 0 || q.x() >= w || q.y() >= h || !free(q))
                continue;
            take(q);
            stack.push_back(q);
        }
    }
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace ocr_prepare
