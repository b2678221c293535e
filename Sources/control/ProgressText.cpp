#include "ProgressText.h"

namespace ProgressText {

std::string label(unsigned percent, bool finished) {
    if (percent >= 100 && finished)
        return kSuccess;
    return std::to_string(percent) + "%";
}

} // namespace ProgressText
