#include "installengine/registration.h"

#include "package/publisher.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"

namespace kestrel {
namespace {

std::string Ansi(const std::u16string& text) {
  return ToCodePage(text);
}

std::string DestPrefix(const RegistrationInput& in) {
  return Ansi(AddTrailingBackslash(in.destfolder));
}

}  // namespace

std::string AppPathsKey(const std::string& exename) {
  return "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + exename;
}

std::string UninstallKey(const std::string& displayname) {
  return "software\\microsoft\\windows\\currentversion\\uninstall\\" + displayname;
}

std::vector<RegistryRow> AppPathsRows(const RegistrationInput& in) {
  const ConfigRecord& c = in.config;
  const std::string exe = ReadShort(c.exename);
  const std::string name = ReadShort(c.displayname);
  const std::string key = AppPathsKey(exe);
  const std::u16string desktoplink =
      AddTrailingBackslash(in.desktopfolder) + CleanFileName(FromCodePage(name)) + u".lnk";
  return {
      {RegRoot::kLocalMachine, key, "", DestPrefix(in) + exe},
      {RegRoot::kLocalMachine, key, "Path", EncodeLetterHex(in.destfolder)},
      {RegRoot::kLocalMachine, key, "Displayname", name},
      {RegRoot::kLocalMachine, key, "Startpath", EncodeLetterHex(ReadWide(c.programgroup))},
      {RegRoot::kLocalMachine, key, "Desktop", EncodeLetterHex(desktoplink)},
      {RegRoot::kLocalMachine, key, "AppData", ReadShort(c.appdatafolder)},
  };
}

std::vector<RegistryRow> AssociationRows(const RegistrationInput& in) {
  const ConfigRecord& c = in.config;
  const std::string ext = ReadShort(c.assocext);
  if (ext.empty()) return {};
  const std::string exe = ReadShort(c.exename);
  const std::string program = ReadShort(c.assocprogram);

  std::string path, caption;
  if (program == exe) {
    path = DestPrefix(in) + exe;
  } else {
    int match = -1;
    for (int i = 0; i < 6 && match < 0; ++i) {
      if (ReadShort(c.shortcutfiles[i]) == program) match = i;
    }
    if (match < 0) return {};
    path = DestPrefix(in) + ReadShort(c.shortcutfiles[match]);
    caption = ReadShort(c.shortcutcaptions[match]);
  }
  const std::string quoted = "\"" + path + "\"";
  const std::string command = quoted + " \"%1\"";
  const std::string cls = kClassKey;
  const std::string exefile =
      exe.substr(exe.rfind('\\') == std::string::npos ? 0 : exe.rfind('\\') + 1);
  return {
      {RegRoot::kClassesRoot, ext, "", ReadShort(c.assocclass)},
      {RegRoot::kClassesRoot, cls, "", ReadShort(c.assocdescription)},
      {RegRoot::kClassesRoot, cls + "\\DefaultIcon", "", quoted},
      {RegRoot::kClassesRoot, cls + "\\shell\\open\\command", "", command},
      {RegRoot::kClassesRoot, cls + "\\shell\\mxaopen", "", "Open with " + caption},
      {RegRoot::kClassesRoot, cls + "\\shell\\mxaopen\\command", "", command},
      {RegRoot::kLocalMachine,
       "software\\microsoft\\windows\\currentversion\\app paths\\" + exefile + "\\",
       "fileassociations", ext},
  };
}

std::vector<RegistryRow> ServiceRows(const RegistrationInput& in, const ServiceEntry& service) {
  const std::string key = AppPathsKey(ReadShort(in.config.exename));
  const std::string i = std::to_string(service.index);
  return {
      {RegRoot::kLocalMachine, key, "service" + i, service.file},
      {RegRoot::kLocalMachine, key, "servicenames" + i, service.name},
  };
}

std::string UninstallCommand(const RegistrationInput& in) {
  return Ansi(AddTrailingBackslash(in.windowsfolder) + std::u16string(kUninstallerName)) + " -ui " +
         ReadShort(in.config.exename);
}

std::string QuietUninstallCommand(const RegistrationInput& in) {
  std::string exe = ReadShort(in.config.exename);
  if (exe.find(' ') != std::string::npos) exe = "\"" + exe + "\"";
  return "\"" + Ansi(AddTrailingBackslash(in.windowsfolder) + std::u16string(kUninstallerName)) +
         "\" -ui " + exe + " /S";
}

std::vector<RegistryRow> UninstallRows(const RegistrationInput& in) {
  const std::string name = ReadShort(in.config.displayname);
  const std::string key = UninstallKey(name);
  const PublisherInfo info = ReadPublisherInfo(in.config);
  auto dword = [&](const char* value, std::uint32_t n) {
    RegistryRow r{RegRoot::kLocalMachine, key, value, ""};
    r.type = RegType::kDword;
    r.dword = n;
    return r;
  };
  // KiB, rounded up; the value is 32 bits wide
  const std::uint64_t kib = (in.installedbytes + 1023) / 1024;
  std::vector<RegistryRow> rows = {
      {RegRoot::kLocalMachine, key, "DisplayName", name},
      {RegRoot::kLocalMachine, key, "UninstallString", UninstallCommand(in)},
      {RegRoot::kLocalMachine, key, "QuietUninstallString", QuietUninstallCommand(in)},
      {RegRoot::kLocalMachine, key, "DisplayVersion", ReadShort(in.config.version)},
  };
  if (!info.publisher.empty()) {
    rows.push_back({RegRoot::kLocalMachine, key, "Publisher", info.publisher});
  }
  rows.push_back(
      {RegRoot::kLocalMachine, key, "DisplayIcon", DestPrefix(in) + ReadShort(in.config.exename)});
  rows.push_back({RegRoot::kLocalMachine, key, "InstallLocation", Ansi(in.destfolder)});
  rows.push_back(
      dword("EstimatedSize", kib > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(kib)));
  if (!in.installdate.empty()) {
    rows.push_back({RegRoot::kLocalMachine, key, "InstallDate", in.installdate});
  }
  rows.push_back(dword("NoModify", 1));
  rows.push_back(dword("NoRepair", 1));
  if (!info.url.empty()) rows.push_back({RegRoot::kLocalMachine, key, "URLInfoAbout", info.url});
  return rows;
}

std::vector<ServiceEntry> ConfiguredServices(const ConfigRecord& config,
                                             const std::u16string& destfolder) {
  std::vector<ServiceEntry> out;
  for (int i = 0; i < 5; ++i) {
    std::string file = ReadShort(config.servicefiles[i]);
    if (file.empty()) break;
    std::u16string path = AddTrailingBackslash(destfolder) + FromCodePage(file);
    out.push_back({i, std::move(file), ReadShort(config.servicenames[i]), std::move(path)});
  }
  return out;
}

}  // namespace kestrel
