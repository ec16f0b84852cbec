// Move-only holders, one per kind of owned value, each with its "no value"
// sentinel in its traits. Kelmo7 carries no standard library, so the few
// pieces of it that a holder needs are written here.
#pragma once

#include <windows.h>
#include <ole2.h>

#include "module_allocator.h"
#include "task_memory.h"

// clang-format off
template <typename T> struct RemoveReference { using Type = T; };
template <typename T> struct RemoveReference<T&> { using Type = T; };
// clang-format on
template <typename T>
constexpr typename RemoveReference<T>::Type&& Move(T&& value)
{
    return static_cast<typename RemoveReference<T>::Type&&>(value);
}

template <typename Traits>
class Unique {
public:
    using Type = typename Traits::Type;

    Unique() = default;
    explicit Unique(Type value) : value_(value) {}
    ~Unique() { Reset(); }
    Unique(Unique&& other) : value_(other.Detach()) {}
    Unique& operator=(Unique&& other)
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;

    Type Get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::Empty(); }

    // The address for an out-parameter; whatever was held is closed first.
    Type* Put()
    {
        Reset();
        return &value_;
    }

    Type Detach()
    {
        Type value = value_;
        value_ = Traits::Empty();
        return value;
    }

    void Reset(Type value = Traits::Empty())
    {
        if (value_ != Traits::Empty())
            Traits::Close(value_);
        value_ = value;
    }

private:
    Type value_ = Traits::Empty();
};

struct KeyTraits {
    using Type = HKEY;
    static constexpr HKEY Empty() { return nullptr; }
    static void Close(HKEY key) { RegCloseKey(key); }
};

struct HandleTraits {
    using Type = HANDLE;
    static constexpr HANDLE Empty() { return nullptr; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};

struct LibraryTraits {
    using Type = HMODULE;
    static constexpr HMODULE Empty() { return nullptr; }
    static void Close(HMODULE module) { FreeLibrary(module); }
};

struct BstrTraits {
    using Type = BSTR;
    static constexpr BSTR Empty() { return nullptr; }
    static void Close(BSTR text) { SysFreeString(text); }
};

template <typename T>
struct TaskMemoryTraits {
    using Type = T*;
    static constexpr T* Empty() { return nullptr; }
    static void Close(T* block) { TaskFree(block); }
};

template <typename T>
struct ModuleMemoryTraits {
    using Type = T*;
    static constexpr T* Empty() { return nullptr; }
    static void Close(T* block) { ModuleFree(block); }
};

// Any COM interface: every table of operations begins with IUnknown's.
template <typename T>
struct InterfaceTraits {
    using Type = T*;
    static constexpr T* Empty() { return nullptr; }
    static void Close(T* object)
    {
        IUnknown* unknown = reinterpret_cast<IUnknown*>(object);
        unknown->lpVtbl->Release(unknown);
    }
};

using UniqueKey = Unique<KeyTraits>;
using UniqueHandle = Unique<HandleTraits>;
using UniqueLibrary = Unique<LibraryTraits>;
using UniqueBstr = Unique<BstrTraits>;
// clang-format off
template <typename T> using UniqueTaskMemory = Unique<TaskMemoryTraits<T>>;
template <typename T> using UniqueModuleMemory = Unique<ModuleMemoryTraits<T>>;
template <typename T> using ComRef = Unique<InterfaceTraits<T>>;
// clang-format on
