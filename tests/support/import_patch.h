// Redirects one of this test program's own imports for a scope: a fault the real system
// cannot produce on demand reaches the code under test through the very call it makes.
#pragma once

class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    template <typename F>
    F Original() const { return reinterpret_cast<F>(original_); }

private:
    void** slot_;
    void* original_;
};
