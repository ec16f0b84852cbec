#include "splitter_harness.h"

#include <cstring>

#include "split_command_line.h"

namespace {

constexpr unsigned char kGuardPattern = 0xC3;
constexpr unsigned char kUnusedPattern = 0x5A;  // slot bytes never written
const char kBehindTheEnd[] = " past \"the end\" ";

}  // namespace

SplitResult SplitAfter(const std::vector<std::string>& first, const std::string& text)
{
    std::memset(GuardedNames.before, kGuardPattern, sizeof(GuardedNames.before));
    std::memset(GuardedNames.after, kGuardPattern, sizeof(GuardedNames.after));
    std::memset(GuardedNames.slots, kUnusedPattern, sizeof(GuardedNames.slots));
    NameCount = 0;
    for (const std::string& name : first) {
        std::memcpy(NameTable[NameCount], name.c_str(), name.size() + 1);
        ++NameCount;
    }
    const int firstCount = NameCount;

    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    buffer.insert(buffer.end(), kBehindTheEnd, kBehindTheEnd + sizeof(kBehindTheEnd));
    CurrentNameGuardsIntact = false;

    SplitResult result;
    result.usable = SplitCommandLine(buffer.data());

    if (!CurrentNameGuardsIntact)
        result.damage += "current-name guard changed; ";
    for (unsigned char b : GuardedNames.before)
        if (b != kGuardPattern) {
            result.damage += "guard before the table changed; ";
            break;
        }
    for (unsigned char b : GuardedNames.after)
        if (b != kGuardPattern) {
            result.damage += "guard after the table changed; ";
            break;
        }
    if (NameCount < firstCount || NameCount > kNameSlotCount) {
        result.damage += "NameCount out of range: " + std::to_string(NameCount) + "; ";
        return result;
    }
    for (int slot = 0; slot < kNameSlotCount; ++slot) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(NameTable[slot]);
        int unusedFrom = 0;
        if (slot < NameCount) {
            const void* zero = std::memchr(bytes, '\0', kNameSlotSize);
            if (zero == nullptr) {
                result.damage += "slot " + std::to_string(slot) + " has no terminator; ";
                continue;
            }
            unusedFrom = static_cast<int>(static_cast<const unsigned char*>(zero) - bytes) + 1;
            result.names.emplace_back(NameTable[slot]);
        }
        for (int i = unusedFrom; i < kNameSlotSize; ++i)
            if (bytes[i] != kUnusedPattern) {
                result.damage += "slot " + std::to_string(slot) + " written behind its name; ";
                break;
            }
    }
    result.names.erase(result.names.begin(), result.names.begin() + firstCount);
    return result;
}

SplitResult SplitWithGuards(const std::string& text) { return SplitAfter({}, text); }
