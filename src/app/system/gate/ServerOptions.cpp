#include "app/system/gate/ServerOptions.h"

#include <cerrno>
#include <cstdlib>

bool readNumberOptions(int num_options, cups_option_t* options, const NumberOption* numbers,
                       size_t count, std::string* why) {
    for (size_t i = 0; i < count; i++) {
        const NumberOption& number = numbers[i];
        const char* text = cupsGetOption(number.name, num_options, options);
        if (text == nullptr) continue;
        char* end = nullptr;
        errno = 0;
        long long value = strtoll(text, &end, 10);
        long long unit = 1;
        if (number.size != nullptr && end != text && *end != '\0' && end[1] == '\0') {
            unit = *end == 'k' ? 1LL << 10 : *end == 'm' ? 1LL << 20 : *end == 'g' ? 1LL << 30 : 0;
            if (unit != 0) end++;
        }
        if (end == text || *end != '\0' || errno != 0 || unit == 0 || value < number.least ||
            value > number.most / unit) {
            *why = std::string(number.name) + "=" + text + " is not a number from " +
                   std::to_string(number.least) + " to " + std::to_string(number.most);
            return false;
        }
        if (number.size != nullptr) *number.size = value * unit;
        if (number.count != nullptr) *number.count = (int)value;
    }
    return true;
}

std::string sizeText(long long bytes) {
    if (bytes >= 1LL << 30 && bytes % (1LL << 30) == 0) return std::to_string(bytes >> 30) + " GiB";
    if (bytes >= 1LL << 20 && bytes % (1LL << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= 1LL << 10 && bytes % (1LL << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}
