// Starts a program as the signed-in user, through the shell: the desktop's own
// shell view runs it, so it gets the user's ordinary token and settings, never
// those of the elevated installer that asks. The installer starts the client
// again this way after an update. Exit code 0 once the shell has taken it.
//   user_start PROGRAM
#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>

namespace {

// One COM interface, released when it goes.
template <typename Interface>
struct Held {
  Interface* pointer = nullptr;
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (pointer != nullptr) pointer->Release();
  }
  Interface* operator->() const { return pointer; }
  void** Out() { return reinterpret_cast<void**>(&pointer); }
};

// The desktop's shell window, its view, the view's automation object, and its
// application, whose ShellExecute runs in the shell's own process.
HRESULT StartThroughShell(const wchar_t* program) {
  Held<IShellWindows> windows;
  HRESULT result = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows, windows.Out());
  if (FAILED(result)) return result;
  VARIANT nowhere;
  VariantInit(&nowhere);
  long window = 0;
  Held<IDispatch> desktop;
  result = windows->FindWindowSW(&nowhere, &nowhere, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                                 reinterpret_cast<IDispatch**>(desktop.Out()));
  if (result != S_OK) return FAILED(result) ? result : E_FAIL;  // S_FALSE: no desktop shell runs
  Held<IServiceProvider> services;
  Held<IShellBrowser> browser;
  Held<IShellView> view;
  Held<IDispatch> background;
  Held<IShellFolderViewDual> folderView;
  Held<IDispatch> application;
  Held<IShellDispatch2> shell;
  if (FAILED(result = desktop->QueryInterface(IID_IServiceProvider, services.Out())) ||
      FAILED(result = services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.Out())) ||
      FAILED(result = browser->QueryActiveShellView(reinterpret_cast<IShellView**>(view.Out()))) ||
      FAILED(result = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.Out())) ||
      FAILED(result = background->QueryInterface(IID_IShellFolderViewDual, folderView.Out())) ||
      FAILED(result = folderView->get_Application(reinterpret_cast<IDispatch**>(application.Out()))) ||
      FAILED(result = application->QueryInterface(IID_IShellDispatch2, shell.Out()))) {
    return result;
  }
  BSTR file = SysAllocString(program);
  result = shell->ShellExecute(file, nowhere, nowhere, nowhere, nowhere);
  SysFreeString(file);
  return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr || count != 2) return 2;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const HRESULT result = StartThroughShell(arguments[1]);
  CoUninitialize();
  LocalFree(arguments);
  return SUCCEEDED(result) ? 0 : 1;
}
