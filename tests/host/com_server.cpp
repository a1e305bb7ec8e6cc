// A minimal in-process COM server standing in for the add-in's native
// servers (installed as ZUDodi32.dll for 32-bit hosts and REDero64.dll for
// 64-bit hosts). DllGetClassObject serves the add-in's four classes; each
// object implements IUnknown only. Built for i386 and for AMD64.
#include <windows.h>
#include <unknwn.h>

#include <new>

namespace {

// The add-in's classes: {B4C100xx-6B4F-4E2A-9D31-8A7F2E10C0xx}.
const CLSID kClasses[] = {
    {0xB4C10001, 0x6B4F, 0x4E2A, {0x9D, 0x31, 0x8A, 0x7F, 0x2E, 0x10, 0xC0, 0x01}},
    {0xB4C10002, 0x6B4F, 0x4E2A, {0x9D, 0x31, 0x8A, 0x7F, 0x2E, 0x10, 0xC0, 0x02}},
    {0xB4C10003, 0x6B4F, 0x4E2A, {0x9D, 0x31, 0x8A, 0x7F, 0x2E, 0x10, 0xC0, 0x03}},
    {0xB4C10010, 0x6B4F, 0x4E2A, {0x9D, 0x31, 0x8A, 0x7F, 0x2E, 0x10, 0xC0, 0x10}},
};

volatile LONG gObjects = 0;

class AddinObject : public IUnknown {
public:
    AddinObject() { InterlockedIncrement(&gObjects); }
    virtual ~AddinObject() { InterlockedDecrement(&gObjects); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
        *out = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return left;
    }

private:
    LONG refs_ = 1;
};

class Factory : public IClassFactory {
public:
    virtual ~Factory() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
        *out = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG left = InterlockedDecrement(&refs_);
        if (left == 0) delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        AddinObject* object = new (std::nothrow) AddinObject;
        if (object == nullptr) return E_OUTOFMEMORY;
        HRESULT hr = object->QueryInterface(iid, out);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    LONG refs_ = 1;
};

bool IsServedClass(REFCLSID clsid) {
    for (const CLSID& served : kClasses) {
        if (IsEqualCLSID(clsid, served)) return true;
    }
    return false;
}

}  // namespace

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsServedClass(clsid)) return CLASS_E_CLASSNOTAVAILABLE;
    Factory* factory = new (std::nothrow) Factory;
    if (factory == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

extern "C" __declspec(dllexport) HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return gObjects == 0 ? S_OK : S_FALSE;
}
