// Redirects one of this test program's own imports for a scope: a fault the real system
// cannot produce on demand reaches the code under test through the very call it makes.
//
//   ImportPatch<decltype(&TerminateProcess)> refuse("kernel32.dll", "TerminateProcess", RefusedTerminate);
//
// The patch is typed by the replaced function itself, so a replacement with another
// signature or calling convention does not compile.
#pragma once

// The import slot of dll!function in this program; aborts when there is none, since
// a test would then silently test nothing.
void** FindImportSlotOrDie(const char* dll, const char* function);

// Writes value into a slot and returns what it held.
void* SwapImportSlot(void** slot, void* value);

template <typename Function>
class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, Function replacement) : slot_(FindImportSlotOrDie(dll, function))
    {
        original_ = reinterpret_cast<Function>(SwapImportSlot(slot_, reinterpret_cast<void*>(replacement)));
    }
    ~ImportPatch() { SwapImportSlot(slot_, reinterpret_cast<void*>(original_)); }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // The real function, for a replacement that only adds to what it does.
    Function Original() const { return original_; }

private:
    void** slot_;
    Function original_;
};
