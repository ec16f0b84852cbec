// The applying half of the registry-script engine: one block of a script
// applied under a parent key, in the register pass (keys opened or created,
// values written) or the unregister pass (what the script names removed),
// and the key and value operations behind it.
#include "registrar/script_applier.h"

#include "errors.h"
#include "registrar/script_text.h"
#include "registrar/undo_journal.h"

namespace {

struct ValueType {
    const char* letter;
    VARTYPE type;
};

// A plain constant table: there when the program starts, never changed.
const ValueType kValueTypeTable[] = {
    {"S", VT_BSTR},
    {"D", VT_UI4},
    {"B", VT_UI1},
};

// Trees of these names are never deleted by "ForceRemove" or "Delete".
const char* const kProtectedKeyNames[] = {"CLSID", "TYPELIB"};

constexpr REGSAM kKeyAllAccess = KEY_ALL_ACCESS;
constexpr REGSAM kKeyRead = KEY_READ;
constexpr REGSAM kKeyReadWrite = KEY_READ | KEY_WRITE;
constexpr REGSAM kKeyReadDeleteValue = KEY_READ | KEY_SET_VALUE;
constexpr DWORD kSubkeyNameSize = 256;
// The registry's own limit on a key name, in characters.
constexpr int kKeyNameCharacterLimit = 255;
constexpr DWORD kValueNameEnumSize = 4096;

bool Is(const char* token, const char* keyword) { return lstrcmpiA(token, keyword) == 0; }

bool IsKeyword(const char* token)
{
    return Is(token, "Delete") || Is(token, "ForceRemove") || Is(token, "NoRemove") || Is(token, "Val");
}

bool IsBlockOpener(const char* token) { return token[0] == '{' && token[1] == '\0'; }

bool HasBackslash(const char* name)
{
    for (const char* p = name; *p != '\0'; p = NextChar(p)) {
        if (*p == '\\')
            return true;
    }
    return false;
}

// A name that does not fit the name buffers is refused rather than cut:
// a cut name could name, and remove, some other key or value.
bool FitsNameBuffer(const char* name) { return lstrlenA(name) < static_cast<int>(kNameBufferSize); }

void CopyName(char* destination, const char* name) { lstrcpynA(destination, name, kNameBufferSize); }

// Keys name one level each; a path inside a key name is a script error. So
// is an empty name: the registry reads it as the parent key itself, which
// "ForceRemove" or "Delete" would then remove with its whole tree.
HRESULT CheckKeyName(const char* name)
{
    if (name[0] == '\0' || HasBackslash(name) || !FitsNameBuffer(name))
        return DISP_E_EXCEPTION;
    return S_OK;
}

int CharacterCount(const char* text)
{
    int count = 0;
    for (const char* p = text; *p != '\0'; p = NextChar(p))
        ++count;
    return count;
}

HRESULT CloseHeldKey(UniqueKey& held)
{
    HKEY key = held.Detach();
    if (key != nullptr && RegCloseKey(key) != ERROR_SUCCESS)
        return DISP_E_EXCEPTION;
    return S_OK;
}

// The buffers for numbers and binary data stay out of ApplyBlock's own
// frame, which recurses once per nested block.
__attribute__((noinline)) void WriteNumber(HKEY key, const char* valueName, const char* text)
{
    wchar_t wide[kTokenBufferSize];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, kTokenBufferSize) == 0)
        return;
    ULONG number = 0;
    // Text that is not a number writes nothing: an existing value stays.
    if (FAILED(VarUI4FromStr(wide, 0, 0, &number)))
        return;
    const DWORD data = number;
    RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

__attribute__((noinline)) HRESULT WriteBinary(HKEY key, const char* valueName, const char* text)
{
    const DWORD length = static_cast<DWORD>(lstrlenA(text));
    if (length % 2 != 0)
        return E_FAIL;
    BYTE data[kTokenBufferSize / 2];
    for (DWORD i = 0; i < length / 2; ++i)
        data[i] = static_cast<BYTE>(HexDigitValue(text[2 * i]) << 4 | HexDigitValue(text[2 * i + 1]));
    RegSetValueExA(key, valueName, 0, REG_BINARY, data, length / 2);
    return S_OK;
}

// One block: its parent, its pass and mode, and what its items hold.
struct Block {
    ScriptEngine* engine;
    char* token;
    HKEY parent;
    BOOL registering;
    BOOL parseOnly;
    bool removal;       // cleared by "NoRemove" for the rest of the block
    UniqueKey current;  // the key of the last key item
    char keyName[kNameBufferSize];
    bool parentFresh;  // this run created the parent key
};

// The register pass records a change before it makes it, unless the key it
// changes lies in a tree that this run created: removing that tree undoes it.
bool Journaled(const Block& block)
{
    return block.registering && !block.parseOnly && !block.parentFresh && block.engine->journal != nullptr;
}

// Where the block's parent key and its subkeys lie.
KeyLocation ParentLocation(const Block& block) { return {block.engine->root, 0, block.engine->path}; }

// A register pass refuses, before writing anything, a name the registry
// could never hold.
HRESULT CheckRegisteredKeyName(const Block& block)
{
    RETURN_IF_FAILED(CheckKeyName(block.token));
    if (block.registering && CharacterCount(block.token) > kKeyNameCharacterLimit)
        return DISP_E_EXCEPTION;
    return S_OK;
}

// Reads the type letter and the value text of a value clause; the text is
// left in token.
HRESULT ReadValueClause(ScriptEngine* engine, char* token, VARTYPE* type)
{
    RETURN_IF_FAILED(ReadToken(engine, token));
    *type = VT_EMPTY;
    if (!LookupValueType(token, type))
        return DISP_E_EXCEPTION;
    return ReadToken(engine, token);
}

// A value clause read as WriteValue reads it, with its faults, and nothing written.
HRESULT CheckValueClause(ScriptEngine* engine, char* token)
{
    VARTYPE type;
    RETURN_IF_FAILED(ReadValueClause(engine, token, &type));
    if (type == VT_UI1 && lstrlenA(token) % 2 != 0)
        return E_FAIL;
    return ReadToken(engine, token);
}

// Opens or creates the key of a register pass's key item; *fresh tells
// whether this run created it.
HRESULT OpenOrCreateKey(Block& block, bool* fresh)
{
    const char* name = block.token;
    *fresh = block.parentFresh;
    if (OpenSubkey(block.current, block.parent, name, kKeyAllAccess) == ERROR_SUCCESS ||
        OpenSubkey(block.current, block.parent, name, kKeyRead) == ERROR_SUCCESS)
        return S_OK;
    UndoJournal* journal = Journaled(block) ? block.engine->journal : nullptr;
    const DWORD mark = journal != nullptr ? journal->Mark() : 0;
    if (journal != nullptr)
        RETURN_IF_FAILED(journal->RecordCreatedKey(ParentLocation(block), name));
    HKEY created = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(block.parent, name, 0, nullptr, 0, kKeyAllAccess, nullptr, &created, &disposition) !=
        ERROR_SUCCESS) {
        if (journal != nullptr)
            journal->ForgetTo(mark);
        return DISP_E_EXCEPTION;
    }
    // A key that appeared since the open is not this run's to remove.
    if (disposition != REG_CREATED_NEW_KEY && journal != nullptr)
        journal->ForgetTo(mark);
    *fresh = *fresh || disposition == REG_CREATED_NEW_KEY;
    UniqueKey fresher(created);
    RETURN_IF_FAILED(CloseHeldKey(block.current));
    block.current = Move(fresher);
    return S_OK;
}

HRESULT ReadNext(Block& block) { return ReadToken(block.engine, block.token); }

// A value clause may follow a key name; a block may follow only a key item.
HRESULT RejectBlock(const Block& block) { return IsBlockOpener(block.token) ? DISP_E_EXCEPTION : S_OK; }

HRESULT RegisterKeyItem(Block& block)
{
    CopyName(block.keyName, block.token);
    bool fresh = block.parentFresh;
    if (!block.parseOnly)
        RETURN_IF_FAILED(OpenOrCreateKey(block, &fresh));
    ScriptEngine* engine = block.engine;
    const KeyPathLevel here = {engine->path, block.keyName};
    RETURN_IF_FAILED(ReadNext(block));
    if (block.token[0] == '=') {
        if (block.parseOnly) {
            RETURN_IF_FAILED(CheckValueClause(engine, block.token));
        } else {
            if (Journaled(block) && !fresh)
                RETURN_IF_FAILED(engine->journal->RecordValue({engine->root, 0, &here}, block.current.Get(), nullptr));
            RETURN_IF_FAILED(WriteValue(engine, block.current.Get(), nullptr, block.token));
        }
    }
    if (IsBlockOpener(block.token)) {
        const bool outerFresh = engine->freshParent;
        engine->path = &here;
        engine->freshParent = fresh;
        const HRESULT hr = ApplyBlock(engine, block.token, block.current.Get(), TRUE, block.parseOnly);
        engine->path = here.outer;
        engine->freshParent = outerFresh;
        RETURN_IF_FAILED(hr);
        RETURN_IF_FAILED(ReadNext(block));
    }
    return S_OK;
}

// Closes the current key and, unless "NoRemove" stands before it in this
// block, deletes it with its values; a failed deletion is not reported.
HRESULT RemoveCurrentKey(Block& block)
{
    RETURN_IF_FAILED(CloseHeldKey(block.current));
    if (block.removal)
        RegDeleteKeyA(block.parent, block.keyName);
    return S_OK;
}

HRESULT UnregisterKeyItem(Block& block, bool blockAllowed)
{
    CopyName(block.keyName, block.token);
    bool itemParseOnly = block.parseOnly != FALSE;
    // The key becomes the parent of its block's "Val" items, which need the
    // right to delete values; a key open only for reading is still walked.
    // A key that cannot be opened at all is absent: its item is only read.
    if (!itemParseOnly &&
        OpenSubkey(block.current, block.parent, block.keyName, kKeyReadDeleteValue) != ERROR_SUCCESS &&
        OpenSubkey(block.current, block.parent, block.keyName, kKeyRead) != ERROR_SUCCESS)
        itemParseOnly = true;

    if (!itemParseOnly && !KeyHasSubkeys(block.current.Get()) && !KeyHasNamedValues(block.current.Get())) {
        // Nothing but its default value: removed at once, its block only read.
        RETURN_IF_FAILED(RemoveCurrentKey(block));
        RETURN_IF_FAILED(ReadNext(block));
        RETURN_IF_FAILED(SkipValueClause(block.engine, block.token));
        if (IsBlockOpener(block.token)) {
            if (!blockAllowed)
                return DISP_E_EXCEPTION;
            RETURN_IF_FAILED(ApplyBlock(block.engine, block.token, nullptr, FALSE, TRUE));
            RETURN_IF_FAILED(ReadNext(block));
        }
        return S_OK;
    }

    RETURN_IF_FAILED(ReadNext(block));
    RETURN_IF_FAILED(SkipValueClause(block.engine, block.token));
    if (IsBlockOpener(block.token)) {
        if (!blockAllowed)
            return DISP_E_EXCEPTION;
        RETURN_IF_FAILED(ApplyBlock(block.engine, block.token, block.current.Get(), FALSE, itemParseOnly));
        RETURN_IF_FAILED(ReadNext(block));
    }
    if (itemParseOnly)
        return S_OK;
    // A key that still has subkeys stays, with them.
    if (KeyHasSubkeys(block.current.Get()))
        return S_OK;
    return RemoveCurrentKey(block);
}

HRESULT KeyItem(Block& block, bool blockAllowed)
{
    return block.registering ? RegisterKeyItem(block) : UnregisterKeyItem(block, blockAllowed);
}

// The name after "Delete", "ForceRemove" or "NoRemove" must be a key name.
HRESULT ReadKeyNameAfterKeyword(Block& block)
{
    RETURN_IF_FAILED(ReadNext(block));
    if (IsKeyword(block.token) || block.token[0] == '}')
        return DISP_E_EXCEPTION;
    return CheckRegisteredKeyName(block);
}

HRESULT DeleteOrForceRemoveItem(Block& block, bool isDelete)
{
    RETURN_IF_FAILED(ReadKeyNameAfterKeyword(block));
    // In the unregister pass the keyword changes nothing.
    if (!block.registering)
        return KeyItem(block, !isDelete);
    if (!block.parseOnly && !IsProtectedKeyName(block.token)) {
        // The tree is saved whole before it goes; one that cannot be saved stays.
        if (Journaled(block))
            RETURN_IF_FAILED(block.engine->journal->RecordTree(ParentLocation(block), block.token));
        DeleteKeyTree(block.parent, block.token);  // an absent key is no error
    }
    if (!isDelete)
        return KeyItem(block, true);
    RETURN_IF_FAILED(ReadNext(block));
    RETURN_IF_FAILED(SkipValueClause(block.engine, block.token));
    return RejectBlock(block);
}

// "Val" works on the key of the enclosing block, not on the last key item's.
HRESULT ValueItem(Block& block)
{
    RETURN_IF_FAILED(ReadNext(block));
    if (!FitsNameBuffer(block.token))
        return DISP_E_EXCEPTION;
    char valueName[kNameBufferSize];
    CopyName(valueName, block.token);
    RETURN_IF_FAILED(ReadNext(block));
    if (block.token[0] != '=')
        return DISP_E_EXCEPTION;
    if (block.registering && !block.parseOnly) {
        if (Journaled(block)) {
            // The block's parent key is the innermost level of the path, or the root.
            const KeyPathLevel* path = block.engine->path;
            RETURN_IF_FAILED(
                block.engine->journal->RecordValue({block.engine->root, 0, path}, block.parent, valueName));
        }
        RETURN_IF_FAILED(WriteValue(block.engine, block.parent, valueName, block.token));
    } else if (block.registering) {
        RETURN_IF_FAILED(CheckValueClause(block.engine, block.token));
    } else {
        if (!block.registering && !block.parseOnly)
            RegDeleteValueA(block.parent, valueName);
        RETURN_IF_FAILED(SkipValueClause(block.engine, block.token));
    }
    return RejectBlock(block);
}

HRESULT Item(Block& block)
{
    if (Is(block.token, "Delete"))
        return DeleteOrForceRemoveItem(block, true);
    if (Is(block.token, "ForceRemove"))
        return DeleteOrForceRemoveItem(block, false);
    if (Is(block.token, "NoRemove")) {
        block.removal = false;
        RETURN_IF_FAILED(ReadKeyNameAfterKeyword(block));
        return KeyItem(block, true);
    }
    if (Is(block.token, "Val"))
        return ValueItem(block);
    RETURN_IF_FAILED(CheckRegisteredKeyName(block));
    return KeyItem(block, true);
}

// Keeps the engine's count of open blocks.
class DepthScope {
public:
    explicit DepthScope(ScriptEngine* engine) : engine_(engine) { ++engine_->depth; }
    ~DepthScope() { --engine_->depth; }
    DepthScope(const DepthScope&) = delete;
    DepthScope& operator=(const DepthScope&) = delete;
    bool TooDeep() const { return engine_->depth > kBlockDepthLimit; }

private:
    ScriptEngine* engine_;
};

}  // namespace

HRESULT ApplyBlock(ScriptEngine* engine, char* token, HKEY parent, BOOL registering, BOOL parseOnly)
{
    DepthScope depth(engine);
    if (depth.TooDeep())
        return DISP_E_EXCEPTION;
    Block block = {engine, token, parent, registering, parseOnly, true, UniqueKey(), "", engine->freshParent};
    RETURN_IF_FAILED(ReadNext(block));
    while (block.token[0] != '}')
        RETURN_IF_FAILED(Item(block));
    return CloseHeldKey(block.current);
}

LONG OpenSubkey(UniqueKey& held, HKEY parent, const char* name, REGSAM access)
{
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExA(parent, name, 0, access, &opened);
    if (status == ERROR_SUCCESS)
        held.Reset(opened);
    return status;
}

LONG DeleteKeyTree(HKEY key, const char* name)
{
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExA(key, name, 0, kKeyReadWrite, &opened);
    if (status != ERROR_SUCCESS)
        return status;
    // Each round deletes the subkey it found, so the next one is at index 0
    // again. The loop ends when none is left (or its name does not fit).
    for (;;) {
        char subkey[kSubkeyNameSize];
        DWORD length = kSubkeyNameSize;
        if (RegEnumKeyExA(opened, 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        // A name that begins with U+0000 reads back empty, and an empty name
        // opens this key again: it would recurse without end.
        status = subkey[0] == '\0' ? ERROR_INVALID_NAME : DeleteKeyTree(opened, subkey);
        if (status != ERROR_SUCCESS) {
            RegCloseKey(opened);
            return status;
        }
    }
    RegCloseKey(opened);
    return RegDeleteKeyA(key, name);
}

HRESULT WriteValue(ScriptEngine* engine, HKEY key, const char* valueName, char* token)
{
    VARTYPE type;
    RETURN_IF_FAILED(ReadValueClause(engine, token, &type));
    // Values that cannot be written (a key open only for reading) are not
    // reported; the pass goes on.
    switch (type) {
    case VT_BSTR:
        RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(token),
                       static_cast<DWORD>(lstrlenA(token)) + 1);
        break;
    case VT_UI4:
        WriteNumber(key, valueName, token);
        break;
    default:
        RETURN_IF_FAILED(WriteBinary(key, valueName, token));
        break;
    }
    return ReadToken(engine, token);
}

HRESULT SkipValueClause(ScriptEngine* engine, char* token)
{
    if (token[0] != '=')
        return S_OK;
    RETURN_IF_FAILED(ReadToken(engine, token));  // the type letter
    RETURN_IF_FAILED(ReadToken(engine, token));  // the value text
    return ReadToken(engine, token);
}

bool LookupValueType(const char* letter, VARTYPE* type)
{
    for (const ValueType& row : kValueTypeTable) {
        if (Is(letter, row.letter)) {
            *type = row.type;
            return true;
        }
    }
    return false;
}

BYTE HexDigitValue(char digit)
{
    if (digit >= '0' && digit <= '9')
        return static_cast<BYTE>(digit - '0');
    if (digit >= 'A' && digit <= 'F')
        return static_cast<BYTE>(digit - 'A' + 10);
    if (digit >= 'a' && digit <= 'f')
        return static_cast<BYTE>(digit - 'a' + 10);
    return 0;
}

bool KeyHasSubkeys(HKEY key)
{
    DWORD subkeys = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr) != ERROR_SUCCESS)
        return false;
    return subkeys > 0;
}

__attribute__((noinline)) bool KeyHasNamedValues(HKEY key)
{
    DWORD values = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                         nullptr) != ERROR_SUCCESS ||
        values == 0)
        return false;
    if (values >= 2)
        return true;
    // One value: named unless it is the key's unnamed default.
    char name[kValueNameEnumSize];
    DWORD length = kValueNameEnumSize;
    if (RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    return name[0] != '\0';
}

bool IsProtectedKeyName(const char* name)
{
    for (const char* protectedName : kProtectedKeyNames) {
        if (Is(name, protectedName))
            return true;
    }
    return false;
}
