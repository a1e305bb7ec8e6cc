// The tips that take the status line's place while many files download.
#pragma once

#include <string>

namespace quilmo {

constexpr int kTipCount = 7;
const char* TipText(int index);  // UTF-8; nullptr outside 0..kTipCount-1

// Draws a tip other than the one shown last (the runtime's rand), shows it in
// the status line and repaints. Returns the index shown.
int ShowRandomTip();

// The draw itself: calls next() until it yields an index other than last.
int PickTipIndex(int last, int (*next)());

}  // namespace quilmo
