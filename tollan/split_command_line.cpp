#include "split_command_line.h"

#ifdef TOLLAN_GUARDED_CURRENT_NAME
bool CurrentNameGuardsIntact = true;
#endif

namespace {

constexpr char kBlank = ' ';
constexpr char kQuote = '"';

void StoreName(const char* name, int length)
{
    char* slot = NameTable[NameCount];
    for (int i = 0; i < length; ++i)
        slot[i] = name[i];
    slot[length] = '\0';
    ++NameCount;
}

// Gathers each name in current, which holds kNameSlotSize bytes.
bool Split(const char* tail, char* current)
{
    constexpr int kLongestName = kNameSlotSize - 1;
    int length = 0;
    const char* p = tail;
    for (;;) {
        if (NameCount < 0 || NameCount >= kNameSlotCount)
            return true;  // the table is full: the rest of the line is ignored
        const char c = *p;
        if (c == kBlank || c == '\0') {
            if (length > 0)
                StoreName(current, length);
            length = 0;
            if (c == '\0')
                return true;
            ++p;
        } else if (c == kQuote) {
            // Bytes gathered before the quote stay at the front of the name.
            for (++p; *p != '\0' && *p != kQuote; ++p) {
                if (length == kLongestName)
                    return false;
                current[length++] = *p;
            }
            StoreName(current, length);
            length = 0;
            // The closing quote and the one byte behind it are passed over,
            // but never the terminating zero.
            for (int skip = 0; skip < 2; ++skip) {
                if (*p == '\0')
                    return true;
                ++p;
            }
        } else {
            if (length == kLongestName)
                return false;
            current[length++] = c;
            ++p;
        }
    }
}

}  // namespace

bool SplitCommandLine(const char* tail)
{
#ifdef TOLLAN_GUARDED_CURRENT_NAME
    constexpr unsigned char kGuardByte = 0xA5;
    struct {
        unsigned char before[16];
        char bytes[kNameSlotSize];
        unsigned char after[16];
    } current;
    for (unsigned char& b : current.before)
        b = kGuardByte;
    for (unsigned char& b : current.after)
        b = kGuardByte;
    const bool usable = Split(tail, current.bytes);
    // Read back through volatile: a write beyond current.bytes is one the
    // compiler may assume never happens.
    const volatile unsigned char* before = current.before;
    const volatile unsigned char* after = current.after;
    CurrentNameGuardsIntact = true;
    for (int i = 0; i < 16; ++i)
        CurrentNameGuardsIntact = CurrentNameGuardsIntact && before[i] == kGuardByte && after[i] == kGuardByte;
    return usable;
#else
    char current[kNameSlotSize];
    return Split(tail, current);
#endif
}
