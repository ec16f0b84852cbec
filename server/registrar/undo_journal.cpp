// The undo journal. A record is a header, the names of its key path
// outermost first, the name of its item, what the change takes away, and a
// trailer holding the record's size, by which the records are walked newest
// first. Every part is copied byte by byte: records lie unaligned.
#include "registrar/undo_journal.h"

#include "handles.h"
#include "module_allocator.h"
#include "registrar/script_applier.h"

namespace {

enum RecordKind : DWORD {
    kCreatedKey = 1,
    kValue = 2,
    kTree = 3,
};

struct RecordHeader {
    DWORD kind;
    DWORD levels;
    HKEY root;
    REGSAM view;
};

// Entries of a saved tree: a value of the key entered last, or a subkey of
// the key one level up, by its depth below the tree's own key.
constexpr BYTE kValueEntry = 'V';
constexpr BYTE kKeyEntry = 'K';

constexpr DWORD kFirstCapacity = 4096;
constexpr REGSAM kKeyReadWrite = KEY_READ | KEY_WRITE;
// A subkey name of 255 characters, each of them two bytes in a double-byte
// code page, and its terminator.
constexpr DWORD kSubkeyNameCapacity = 2 * 255 + 1;

UndoJournal* activeJournal = nullptr;

void CopyBytes(void* destination, const void* source, DWORD size)
{
    BYTE* out = static_cast<BYTE*>(destination);
    const BYTE* in = static_cast<const BYTE*>(source);
    for (DWORD i = 0; i < size; ++i)
        out[i] = in[i];
}

DWORD TextSize(const char* text) { return static_cast<DWORD>(lstrlenA(text)) + 1; }

// Reads a record front to back.
struct Cursor {
    const BYTE* at;
    const BYTE* end;

    bool Done() const { return at >= end; }
    DWORD Dword()
    {
        DWORD value = 0;
        if (end - at >= static_cast<ptrdiff_t>(sizeof(value)))
            CopyBytes(&value, at, sizeof(value));
        at += sizeof(value);
        return value;
    }
    BYTE Byte() { return at < end ? *at++ : 0; }
    const char* Text()
    {
        const char* text = reinterpret_cast<const char*>(at);
        while (at < end && *at != 0)
            ++at;
        ++at;
        return text;
    }
    const BYTE* Bytes(DWORD size)
    {
        const BYTE* bytes = at;
        at += size;
        return bytes;
    }
};

// Opens the key that levels names of cursor lead to from root, in view.
LONG OpenStoredPath(HKEY root, REGSAM view, Cursor& cursor, DWORD levels, UniqueKey& key)
{
    if (levels == 0)
        return RegOpenKeyExA(root, nullptr, 0, kKeyReadWrite | view, key.Put());
    UniqueKey held;
    HKEY current = root;
    LONG status = ERROR_SUCCESS;
    for (DWORD i = 0; i < levels; ++i) {
        const char* name = cursor.Text();
        HKEY next = nullptr;
        if (status == ERROR_SUCCESS) {
            status = RegOpenKeyExA(current, name, 0, kKeyReadWrite | view, &next);
            if (status == ERROR_SUCCESS) {
                held.Reset(next);
                current = next;
            }
        }
    }
    if (status == ERROR_SUCCESS)
        key = Move(held);
    return status;
}

// A saved value entry: type, size, name, data.
struct SavedValue {
    DWORD type;
    DWORD size;
    const char* name;
    const BYTE* data;
};

SavedValue ReadSavedValue(Cursor& cursor)
{
    SavedValue value;
    value.type = cursor.Dword();
    value.size = cursor.Dword();
    value.name = cursor.Text();
    value.data = cursor.Bytes(value.size);
    return value;
}

void PutValueBack(HKEY key, const SavedValue& value)
{
    RegSetValueExA(key, value.name, 0, value.type, value.data, value.size);
}

// Builds a saved tree again below parent, as name.
void RebuildTree(HKEY parent, const char* name, REGSAM view, Cursor& cursor)
{
    HKEY keys[kBlockDepthLimit + 1] = {};
    if (RegCreateKeyExA(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &keys[0], nullptr) !=
        ERROR_SUCCESS)
        return;
    DWORD depth = 0;
    while (!cursor.Done()) {
        const BYTE tag = cursor.Byte();
        if (tag == kValueEntry) {
            const SavedValue value = ReadSavedValue(cursor);
            if (keys[depth] != nullptr)
                PutValueBack(keys[depth], value);
            continue;
        }
        const DWORD level = cursor.Dword();
        const char* subkey = cursor.Text();
        if (tag != kKeyEntry || level == 0 || level > depth + 1 || level > kBlockDepthLimit)
            break;
        for (DWORD i = depth; i >= level; --i) {
            if (keys[i] != nullptr)
                RegCloseKey(keys[i]);
            keys[i] = nullptr;
        }
        if (keys[level - 1] != nullptr)
            RegCreateKeyExA(keys[level - 1], subkey, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &keys[level],
                            nullptr);
        depth = level;
    }
    for (DWORD i = 0; i <= depth; ++i) {
        if (keys[i] != nullptr)
            RegCloseKey(keys[i]);
    }
}

}  // namespace

UndoJournal::~UndoJournal() { ModuleFree(data_); }

HRESULT UndoJournal::Reserve(DWORD size, BYTE** room)
{
    *room = nullptr;
    if (size > kUndoJournalLimit - used_)
        return kUndoJournalFull;
    const DWORD needed = used_ + size;
    if (needed > capacity_) {
        DWORD capacity = capacity_ == 0 ? kFirstCapacity : capacity_;
        while (capacity < needed)
            capacity = capacity > kUndoJournalLimit / 2 ? kUndoJournalLimit : capacity * 2;
        BYTE* grown = static_cast<BYTE*>(ModuleRealloc(data_, capacity));
        if (grown == nullptr)
            return E_OUTOFMEMORY;
        data_ = grown;
        capacity_ = capacity;
    }
    *room = data_ + used_;
    return S_OK;
}

HRESULT UndoJournal::Append(const void* bytes, DWORD size)
{
    BYTE* room;
    RETURN_IF_FAILED(Reserve(size, &room));
    CopyBytes(room, bytes, size);
    used_ += size;
    return S_OK;
}

HRESULT UndoJournal::AppendText(const char* text) { return Append(text, TextSize(text)); }

HRESULT UndoJournal::BeginRecord(DWORD kind, const KeyLocation& location, const char* name, DWORD* start)
{
    *start = used_;
    DWORD levels = 0;
    for (const KeyPathLevel* level = location.path; level != nullptr; level = level->outer)
        ++levels;
    const RecordHeader header = {kind, levels, location.root, location.view};
    RETURN_IF_FAILED(Append(&header, sizeof(header)));
    // The chain runs innermost first; the record holds the outermost first.
    for (DWORD written = 0; written < levels; ++written) {
        const KeyPathLevel* level = location.path;
        for (DWORD i = written + 1; i < levels; ++i)
            level = level->outer;
        RETURN_IF_FAILED(AppendText(level->name));
    }
    return AppendText(name != nullptr ? name : "");
}

HRESULT UndoJournal::EndRecord(DWORD start)
{
    const DWORD size = used_ - start + sizeof(DWORD);
    return Append(&size, sizeof(size));
}

// Value index of key as an entry; with wantedName, kept only when its name
// is that one (matched tells which).
HRESULT UndoJournal::AppendValue(HKEY key, DWORD index, const char* wantedName, bool* matched)
{
    DWORD maxName = 0;
    DWORD maxData = 0;
    LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                                   &maxData, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return FoldWin32Error(static_cast<DWORD>(status));
    // Lengths are counted in characters, each up to two bytes here.
    const DWORD nameCapacity = 2 * maxName + 2;
    if (maxData > kUndoJournalLimit || nameCapacity > kUndoJournalLimit)
        return kUndoJournalFull;
    const DWORD heading = 2 * sizeof(DWORD);
    BYTE* room;
    RETURN_IF_FAILED(Reserve(heading + nameCapacity + maxData, &room));
    char* name = reinterpret_cast<char*>(room + heading);
    BYTE* data = room + heading + nameCapacity;
    DWORD nameLength = nameCapacity;
    DWORD type = 0;
    DWORD size = maxData;
    status = RegEnumValueA(key, index, name, &nameLength, nullptr, &type, maxData != 0 ? data : nullptr, &size);
    if (status != ERROR_SUCCESS)
        return FoldWin32Error(static_cast<DWORD>(status));
    // A value that grew since the key was measured is not half saved.
    if (size > maxData)
        return FoldWin32Error(ERROR_MORE_DATA);
    if (wantedName != nullptr) {
        *matched = lstrcmpiA(name, wantedName) == 0;
        if (!*matched)
            return S_OK;
    }
    CopyBytes(room, &type, sizeof(type));
    CopyBytes(room + sizeof(type), &size, sizeof(size));
    // The data moves down to just after the name: a forward copy to a lower address.
    CopyBytes(name + nameLength + 1, data, size);
    used_ += heading + nameLength + 1 + size;
    return S_OK;
}

HRESULT UndoJournal::AppendTree(HKEY key, DWORD depth)
{
    DWORD subkeys = 0;
    DWORD values = 0;
    const LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                         nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
        return FoldWin32Error(static_cast<DWORD>(status));
    for (DWORD i = 0; i < values; ++i) {
        RETURN_IF_FAILED(Append(&kValueEntry, 1));
        RETURN_IF_FAILED(AppendValue(key, i, nullptr, nullptr));
    }
    if (subkeys != 0 && depth >= kBlockDepthLimit)
        return kUndoJournalFull;
    for (DWORD i = 0; i < subkeys; ++i) {
        const DWORD level = depth + 1;
        RETURN_IF_FAILED(Append(&kKeyEntry, 1));
        RETURN_IF_FAILED(Append(&level, sizeof(level)));
        BYTE* room;
        RETURN_IF_FAILED(Reserve(kSubkeyNameCapacity, &room));
        DWORD length = kSubkeyNameCapacity;
        const LONG found =
            RegEnumKeyExA(key, i, reinterpret_cast<char*>(room), &length, nullptr, nullptr, nullptr, nullptr);
        if (found != ERROR_SUCCESS)
            return FoldWin32Error(static_cast<DWORD>(found));
        // A name that begins with U+0000 reads back empty and would open this
        // key again; the tree's deletion cannot reach it either, so it stays.
        if (length == 0 || room[0] == 0) {
            used_ -= 1 + sizeof(level);
            continue;
        }
        const DWORD nameAt = used_;
        used_ += length + 1;
        UniqueKey subkey;
        const LONG opened = RegOpenKeyExA(key, reinterpret_cast<char*>(data_ + nameAt), 0, KEY_READ, subkey.Put());
        if (opened != ERROR_SUCCESS)
            return FoldWin32Error(static_cast<DWORD>(opened));
        RETURN_IF_FAILED(AppendTree(subkey.Get(), level));
    }
    return S_OK;
}

HRESULT UndoJournal::RecordCreatedKey(const KeyLocation& parent, const char* name)
{
    const DWORD mark = used_;
    DWORD start;
    HRESULT hr = BeginRecord(kCreatedKey, parent, name, &start);
    if (SUCCEEDED(hr))
        hr = EndRecord(start);
    if (FAILED(hr))
        used_ = mark;
    return hr;
}

HRESULT UndoJournal::RecordValue(const KeyLocation& location, HKEY key, const char* valueName)
{
    const DWORD mark = used_;
    const char* wanted = valueName != nullptr ? valueName : "";
    DWORD start;
    HRESULT hr = BeginRecord(kValue, location, nullptr, &start);
    DWORD values = 0;
    if (SUCCEEDED(hr)) {
        // A key that cannot even be queried (HKEY_PERFORMANCE_DATA) takes no
        // write either: there is nothing to record.
        if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr) != ERROR_SUCCESS) {
            used_ = mark;
            return S_OK;
        }
    }
    const DWORD presentAt = used_;
    const DWORD present = 1;
    if (SUCCEEDED(hr))
        hr = Append(&present, sizeof(present));
    bool matched = false;
    for (DWORD i = 0; SUCCEEDED(hr) && !matched && i < values; ++i)
        hr = AppendValue(key, i, wanted, &matched);
    if (SUCCEEDED(hr) && !matched) {
        used_ = presentAt;
        const DWORD absent = 0;
        hr = Append(&absent, sizeof(absent));
        if (SUCCEEDED(hr))
            hr = AppendText(wanted);
    }
    if (SUCCEEDED(hr))
        hr = EndRecord(start);
    if (FAILED(hr))
        used_ = mark;
    return hr;
}

HRESULT UndoJournal::RecordTree(const KeyLocation& parent, const char* name)
{
    const DWORD mark = used_;
    DWORD start;
    HRESULT hr = BeginRecord(kTree, parent, name, &start);
    UniqueKey tree;
    // The parent is reached through the record's own path, as the undo will reach it.
    if (SUCCEEDED(hr)) {
        DWORD levels = 0;
        for (const KeyPathLevel* level = parent.path; level != nullptr; level = level->outer)
            ++levels;
        Cursor path = {data_ + start + sizeof(RecordHeader), data_ + used_};
        UniqueKey parentKey;
        LONG status = OpenStoredPath(parent.root, parent.view, path, levels, parentKey);
        if (status == ERROR_SUCCESS)
            status = RegOpenKeyExA(parentKey.Get(), name, 0, KEY_READ | parent.view, tree.Put());
        // A tree that is there but may not be read is refused: it could not
        // be put back. Any other failure (HKEY_PERFORMANCE_DATA takes no
        // handle) is one the deletion meets too: there is nothing to record.
        if (status == ERROR_ACCESS_DENIED)
            hr = FoldWin32Error(static_cast<DWORD>(status));
        else if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            used_ = mark;
            return S_OK;
        }
        const DWORD present = status == ERROR_SUCCESS ? 1 : 0;
        if (SUCCEEDED(hr))
            hr = Append(&present, sizeof(present));
    }
    if (SUCCEEDED(hr) && tree)
        hr = AppendTree(tree.Get(), 0);
    if (SUCCEEDED(hr))
        hr = EndRecord(start);
    if (FAILED(hr))
        used_ = mark;
    return hr;
}

HRESULT UndoJournal::RecordTreeAt(HKEY root, REGSAM view, const char* const* path, DWORD count)
{
    constexpr DWORD kLevels = 8;
    if (count == 0 || count > kLevels)
        return E_INVALIDARG;
    KeyPathLevel levels[kLevels];
    UniqueKey held;
    HKEY current = root;
    for (DWORD i = 0; i < count; ++i) {
        const KeyLocation parent = {root, view, i == 0 ? nullptr : &levels[i - 1]};
        levels[i] = {parent.path, path[i]};
        if (i + 1 == count)
            return RecordTree(parent, path[i]);
        HKEY next = nullptr;
        const LONG status = RegOpenKeyExA(current, path[i], 0, KEY_READ | view, &next);
        if (status == ERROR_FILE_NOT_FOUND)
            return RecordTree(parent, path[i]);
        if (status != ERROR_SUCCESS)
            return FoldWin32Error(static_cast<DWORD>(status));
        held.Reset(next);
        current = next;
    }
    return S_OK;
}

void UndoJournal::UndoRecord(const BYTE* record, DWORD size)
{
    Cursor cursor = {record, record + size - sizeof(DWORD)};
    RecordHeader header;
    CopyBytes(&header, cursor.Bytes(sizeof(header)), sizeof(header));
    UniqueKey key;
    const LONG opened = OpenStoredPath(header.root, header.view, cursor, header.levels, key);
    const char* name = cursor.Text();
    if (opened != ERROR_SUCCESS)
        return;
    switch (header.kind) {
    case kCreatedKey:
        DeleteKeyTree(key.Get(), name);
        break;
    case kValue:
        if (cursor.Dword() != 0)
            PutValueBack(key.Get(), ReadSavedValue(cursor));
        else
            RegDeleteValueA(key.Get(), cursor.Text());
        break;
    case kTree:
        // Whatever stands there now goes; then the tree as it was, if it was.
        DeleteKeyTree(key.Get(), name);
        if (cursor.Dword() != 0)
            RebuildTree(key.Get(), name, header.view, cursor);
        break;
    default:
        break;
    }
}

void UndoJournal::UndoTo(DWORD mark)
{
    while (used_ > mark && used_ - mark >= sizeof(DWORD)) {
        DWORD size = 0;
        CopyBytes(&size, data_ + used_ - sizeof(DWORD), sizeof(size));
        if (size > used_ - mark)
            break;
        used_ -= size;
        UndoRecord(data_ + used_, size);
    }
    used_ = mark;
}

UndoJournal* ActiveUndoJournal() { return activeJournal; }

UndoJournalScope::UndoJournalScope(UndoJournal* journal) : previous_(activeJournal) { activeJournal = journal; }

UndoJournalScope::~UndoJournalScope() { activeJournal = previous_; }
