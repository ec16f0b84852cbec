#include "registry_snapshot.h"

#include <stdexcept>
#include <vector>

namespace testing_support {

namespace {

// A key that cannot be read whole ends the snapshot: two snapshots that lost
// the same part would compare equal whatever changed there.
[[noreturn]] void Unreadable(const std::string& path, const char* what, LONG status)
{
    const std::string key = path.empty() ? "the snapshot's root key" : "key \"" + path + "\"";
    throw std::runtime_error("registry snapshot: " + std::string(what) + " of " + key + " failed with error " +
                             std::to_string(status));
}

// An open key, closed when the holder goes.
struct OpenKey {
    HKEY key = nullptr;
    ~OpenKey()
    {
        if (key != nullptr)
            RegCloseKey(key);
    }
};

void ReadKey(HKEY key, const std::string& path, REGSAM view, RegistryTree& tree)
{
    auto& values = tree[path];
    std::vector<char> name(32768);
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;;) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LONG status = RegEnumValueA(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_MORE_DATA && dataLength > data.size()) {
            data.resize(dataLength);  // a value larger than the buffer: read it again
            continue;
        }
        if (status != ERROR_SUCCESS)
            Unreadable(path, "reading a value", status);
        values[std::string(name.data(), nameLength)] = {type, std::string(data.begin(), data.begin() + dataLength)};
        ++i;
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        const LONG status = RegEnumKeyExA(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS)
            Unreadable(path, "listing the subkeys", status);
        children.emplace_back(name.data(), nameLength);
    }
    for (const std::string& child : children) {
        if (child.empty())
            continue;  // a name that reads back empty would open this key again
        const std::string childPath = path.empty() ? child : path + "\\" + child;
        OpenKey sub;
        const LONG status = RegOpenKeyExA(key, child.c_str(), 0, KEY_READ | view, &sub.key);
        if (status == ERROR_FILE_NOT_FOUND)
            continue;  // removed since it was listed
        if (status != ERROR_SUCCESS)
            Unreadable(childPath, "opening", status);
        // Perflib\009 opens as the performance counters' names, which the
        // platform makes up when asked and which no registry write reaches:
        // the key is listed, its contents are not read.
        if (sub.key == HKEY_PERFORMANCE_TEXT || sub.key == HKEY_PERFORMANCE_NLSTEXT) {
            tree[childPath];
            continue;
        }
        ReadKey(sub.key, childPath, view, tree);
    }
}

std::string Show(const RegistryValue& value)
{
    if (value.type == REG_SZ)
        return "\"" + value.data.substr(0, value.data.find('\0')) + "\"";
    return "type " + std::to_string(value.type) + ", " + std::to_string(value.data.size()) + " bytes";
}

// Every byte of the value, so that a listing shows any change.
std::string ShowWhole(const RegistryValue& value)
{
    static const char digits[] = "0123456789abcdef";
    std::string text = Show(value) + " ";
    for (const char byte : value.data) {
        text += digits[static_cast<unsigned char>(byte) >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

}  // namespace

RegistryTree Snapshot(HKEY root, const std::string& path, REGSAM view)
{
    RegistryTree tree;
    OpenKey key;
    const LONG status = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key.key);
    if (status == ERROR_FILE_NOT_FOUND)
        return tree;
    if (status != ERROR_SUCCESS)
        Unreadable(path, "opening", status);
    ReadKey(key.key, "", view, tree);
    return tree;
}

std::string Differences(const RegistryTree& before, const RegistryTree& after)
{
    std::string lines;
    for (const auto& [path, values] : before) {
        auto found = after.find(path);
        if (found == after.end()) {
            lines += "- key " + path + "\n";
            continue;
        }
        for (const auto& [name, value] : values) {
            auto other = found->second.find(name);
            if (other == found->second.end())
                lines += "- value " + path + " [" + name + "] " + Show(value) + "\n";
            else if (!(other->second == value))
                lines += "~ value " + path + " [" + name + "] " + Show(value) + " -> " + Show(other->second) + "\n";
        }
        for (const auto& [name, value] : found->second) {
            if (values.find(name) == values.end())
                lines += "+ value " + path + " [" + name + "] " + Show(value) + "\n";
        }
    }
    for (const auto& [path, values] : after) {
        if (before.find(path) == before.end())
            lines += "+ key " + path + " (" + std::to_string(values.size()) + " values)\n";
    }
    return lines;
}

std::string Listing(const RegistryTree& tree)
{
    std::string lines;
    for (const auto& [path, values] : tree) {
        lines += "key " + path + "\n";
        for (const auto& [name, value] : values)
            lines += "value " + path + " [" + name + "] " + ShowWhole(value) + "\n";
    }
    return lines;
}

RegistryValue Text(const std::string& text) { return {REG_SZ, text + std::string(1, '\0')}; }

}  // namespace testing_support
