#include "link/SerialPortHelpers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iterator>

namespace SerialPortHelpers {

namespace {
bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool hasComForm(const std::string& name) {
    return name.size() >= 4 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(name[2])) == 'M' && isDigit(name[3]);
}

const std::string kWindowsDevicePrefix = "\\\\.\\";
} // namespace

std::uint32_t appliedRate(UsbTypes::Baudrate rate) {
    const auto& rates = UsbTypes::kBaudrates;
    return std::find(std::begin(rates), std::end(rates), rate) != std::end(rates)
               ? rate
               : UsbTypes::kDefaultBaudrate;
}

int comIndex(const std::string& name) {
    if (!hasComForm(name))
        return 0;
    // strtol reads the leading digits and reports a value out of its range through errno.
    const char* digits = name.c_str() + 3;
    errno = 0;
    const long value = std::strtol(digits, nullptr, 10);
    if (errno == ERANGE || value > INT_MAX)
        return 0;
    return static_cast<int>(value);
}

std::string windowsDevicePath(const std::string& name) {
    if (name.compare(0, kWindowsDevicePrefix.size(), kWindowsDevicePrefix) == 0)
        return name;
    return hasComForm(name) ? kWindowsDevicePrefix + name : name;
}

std::string posixDevicePath(const std::string& name) {
    if (!name.empty() && name[0] == '/')
        return name;
    return "/dev/" + name;
}

bool leavesDevFolder(const std::string& name) {
    if (!name.empty() && name[0] == '/')
        return false;
    std::size_t begin = 0;
    while (begin <= name.size()) {
        std::size_t end = name.find('/', begin);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(begin, end - begin, "..") == 0)
            return true;
        begin = end + 1;
    }
    return false;
}

void sortComNames(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const int ia = comIndex(a);
        const int ib = comIndex(b);
        if (ia != 0 && ib != 0)
            return ia < ib;
        return a < b;
    });
}

bool naturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the digit runs by value: skip leading zeros, then longer is larger.
            std::size_t ei = i;
            while (ei < a.size() && isDigit(a[ei]))
                ++ei;
            std::size_t ej = j;
            while (ej < b.size() && isDigit(b[ej]))
                ++ej;
            std::size_t si = i;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            std::size_t sj = j;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            const std::string ra = a.substr(si, ei - si);
            const std::string rb = b.substr(sj, ej - sj);
            if (ra.size() != rb.size())
                return ra.size() < rb.size();
            if (ra != rb)
                return ra < rb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b; // equal by value ("ttyS01", "ttyS1"): keep a strict order
}

void sortNatural(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end(), naturalLess);
}

std::vector<std::string> splitPathList(const std::string& list) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    while (begin <= list.size()) {
        std::size_t end = list.find(':', begin);
        if (end == std::string::npos)
            end = list.size();
        if (end > begin)
            parts.push_back(list.substr(begin, end - begin));
        begin = end + 1;
    }
    return parts;
}

} // namespace SerialPortHelpers
