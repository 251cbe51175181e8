// setup.exe: installs the package appended to it, or, started as "-ui <program>", uninstalls.
#include <windows.h>

#include "package/pkgfile_win32.h"
#include "setup/runtime_win32.h"
#include "sysutil/cmfunit_win32.h"
#include "toolkit/app.h"
#include "toolkit/thread.h"
#include "wizard/choosedir.h"
#include "wizard/mainunit.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  kestrel::InstallFaultHandlers();
  // before anything can load a DLL by name
  kestrel::RestrictDllSearch();
  kestrel::BindFileFunctions64();
  kestrel::ui::SetMainThread();

  auto& app = kestrel::ui::Application::Get();
  if (!app.Initialize(instance, u"Kestrel")) return 1;

  kestrel::Triform wizard;
  app.SetMainForm(&wizard);
  wizard.Create(app.handle());
  if (app.Terminated()) return app.ExitCode();  // the start-up error has been shown

  kestrel::Tdir dir;
  dir.Create(wizard.handle());

  wizard.ShowWizard();
  return app.Run();
}
