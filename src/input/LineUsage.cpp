#include "input/LineUsage.h"

#include <algorithm>
#include <cstddef>

void LineUsage::mark(int line, Use use) {
    if (line < 1) return;
    const std::size_t index = static_cast<std::size_t>(line) - 1;
    if (uses.size() <= index) uses.resize(index + 1, kUnused);
    uses[index] = static_cast<unsigned char>(uses[index] | use);
}

bool LineUsage::isUsed(int line) const {
    if (line < 1) return false;
    const std::size_t index = static_cast<std::size_t>(line) - 1;
    return index < uses.size() && uses[index] != kUnused;
}

void LineUsage::blockEndedAt(int line) { firstEnd = firstEnd == 0 ? line : std::min(firstEnd, line); }
