#include "registry_snapshot.h"

#include <vector>

namespace testing_support {

namespace {

void ReadKey(HKEY key, const std::string& path, REGSAM view, RegistryTree& tree)
{
    auto& values = tree[path];
    std::vector<char> name(32768);
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataLength = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueA(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &dataLength) != ERROR_SUCCESS)
            break;
        values[std::string(name.data(), nameLength)] = {type, std::string(data.begin(), data.begin() + dataLength)};
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExA(key, i, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.emplace_back(name.data(), nameLength);
    }
    for (const std::string& child : children) {
        if (child.empty())
            continue;  // a name that reads back empty would open this key again
        HKEY sub;
        if (RegOpenKeyExA(key, child.c_str(), 0, KEY_READ | view, &sub) != ERROR_SUCCESS)
            continue;
        ReadKey(sub, path.empty() ? child : path + "\\" + child, view, tree);
        RegCloseKey(sub);
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
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return tree;
    ReadKey(key, "", view, tree);
    RegCloseKey(key);
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
