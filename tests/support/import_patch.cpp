#include "import_patch.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

IMAGE_NT_HEADERS* NtHeaders(BYTE* base)
{
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

// The slot of function among one DLL's imports, or NULL.
void** FindInDescriptor(BYTE* base, const IMAGE_IMPORT_DESCRIPTOR* descriptor, const char* function)
{
    IMAGE_THUNK_DATA* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
    IMAGE_THUNK_DATA* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
            continue;
        }
        const IMAGE_IMPORT_BY_NAME* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        if (strcmp(byName->Name, function) == 0) {
            return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    return NULL;
}

}  // namespace

void** FindImportSlotOrDie(const char* dll, const char* function)
{
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(NULL));
    const IMAGE_DATA_DIRECTORY& imports = NtHeaders(base)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const IMAGE_IMPORT_DESCRIPTOR* descriptor =
        reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        if (_stricmp(reinterpret_cast<char*>(base + descriptor->Name), dll) != 0) {
            continue;
        }
        void** slot = FindInDescriptor(base, descriptor, function);
        if (slot != NULL) {
            return slot;
        }
    }
    fprintf(stderr, "ImportPatch: %s!%s is not imported by this program\n", dll, function);
    abort();
}

void* SwapImportSlot(void** slot, void* value)
{
    DWORD old;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    void* held = *slot;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return held;
}
