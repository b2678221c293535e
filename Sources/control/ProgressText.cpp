#include "control/ProgressText.h"

namespace ProgressText {

std::string label(unsigned percent, bool endedWell) {
    if (percent >= 100 && endedWell)
        return kSuccess;
    return std::to_string(percent) + "%";
}

} // namespace ProgressText
