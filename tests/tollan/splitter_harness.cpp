#include "splitter_harness.h"

#include <cstdint>
#include <cstring>

#include "name_table.h"
#include "split_command_line.h"

// The splitter's table and count for its tests: the table lies between two
// guard areas, so that a write beyond either end lands in a guard. The linker
// places sections named .data$ one after another in the order of their names.
constexpr int kGuardSize = 64;
__attribute__((section(".data$tollan_names_a"))) unsigned char GuardBefore[kGuardSize];
__attribute__((section(".data$tollan_names_b"))) NameSlots NameTable;
__attribute__((section(".data$tollan_names_c"))) unsigned char GuardAfter[kGuardSize];
int NameCount;

namespace {

constexpr unsigned char kGuardPattern = 0xC3;
constexpr unsigned char kUnusedPattern = 0x5A;  // slot bytes never written
const char kBehindTheEnd[] = " past \"the end\" ";

}  // namespace

SplitResult SplitAfter(const std::vector<std::string>& first, const std::string& text)
{
    std::memset(GuardBefore, kGuardPattern, sizeof(GuardBefore));
    std::memset(GuardAfter, kGuardPattern, sizeof(GuardAfter));
    std::memset(NameTable, kUnusedPattern, sizeof(NameTable));
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
    // Compared as numbers: the compiler takes pointers into distinct objects as never equal.
    const std::uintptr_t table = reinterpret_cast<std::uintptr_t>(NameTable);
    if (table != reinterpret_cast<std::uintptr_t>(GuardBefore) + kGuardSize ||
        table + sizeof(NameTable) != reinterpret_cast<std::uintptr_t>(GuardAfter))
        result.damage += "the guard areas do not border the table; ";
    result.usable = SplitCommandLine(buffer.data());

    if (!CurrentNameGuardsIntact)
        result.damage += "current-name guard changed; ";
    for (unsigned char b : GuardBefore)
        if (b != kGuardPattern) {
            result.damage += "guard before the table changed; ";
            break;
        }
    for (unsigned char b : GuardAfter)
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
