#include "installengine/registration.h"

#include "package/publisher.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/codepage.h"

namespace kestrel {

RegistryRow WideRow(RegRoot root, std::string key, std::string name, std::u16string value) {
  RegistryRow r{root, std::move(key), std::move(name), ""};
  r.type = RegType::kWideString;
  r.wide = std::move(value);
  return r;
}

namespace {

// A row made in place at the end of `rows`: a row built as a temporary at each call site and
// copied in costs a copy of every text there.
RegistryRow& AddRow(std::vector<RegistryRow>& rows, RegRoot root, const std::string& key,
                    const char* name, std::string value) {
  RegistryRow& r = rows.emplace_back();
  r.root = root;
  r.key = key;
  r.name = name;
  r.value = std::move(value);
  return r;
}

void AddWideRow(std::vector<RegistryRow>& rows, RegRoot root, const std::string& key,
                const char* name, std::u16string value) {
  RegistryRow& r = AddRow(rows, root, key, name, std::string());
  r.type = RegType::kWideString;
  r.wide = std::move(value);
}

}  // namespace

std::string AppPathsKey(const std::string& exename) {
  return "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + exename;
}

std::string UninstallKey(const std::string& identity) {
  return "software\\microsoft\\windows\\currentversion\\uninstall\\" + identity;
}

ClassesPlace ClassesFor(RegRoot productroot) {
  if (productroot == RegRoot::kCurrentUser) return {RegRoot::kCurrentUser, "Software\\Classes\\"};
  return {RegRoot::kClassesRoot, ""};
}

std::string AssociationClass(const ConfigRecord& config) {
  const std::string cls = ReadShort(config.assocclass);
  // one key below the classes, or the class every earlier package used
  if (TrimBlanks(cls) != cls || cls.empty() || cls.find('\\') != std::string::npos ||
      cls.find_first_not_of(". ") == std::string::npos) {
    return kClassKey;
  }
  return cls;
}

std::vector<RegistryRow> AppPathsRows(const RegistrationInput& in) {
  const ConfigRecord& c = in.config;
  const std::string exe = ReadShort(c.exename);
  const std::string name = ReadShort(c.displayname);
  const std::string key = AppPathsKey(exe);
  const std::u16string desktoplink =
      AddTrailingBackslash(in.desktopfolder) + CleanFileName(FromCodePage(name)) + u".lnk";
  const RegRoot root = in.root;
  std::vector<RegistryRow> rows;
  AddWideRow(rows, root, key, "", AddTrailingBackslash(in.destfolder) + FromCodePage(exe));
  AddRow(rows, root, key, "Path", EncodeLetterHex(in.destfolder));
  AddRow(rows, root, key, "Displayname", name);
  AddRow(rows, root, key, "Startpath", EncodeLetterHex(ReadWide(c.programgroup)));
  AddRow(rows, root, key, "Desktop", EncodeLetterHex(desktoplink));
  AddRow(rows, root, key, "AppData", ReadShort(c.appdatafolder));
  if (!in.identity.empty()) AddRow(rows, root, key, kProductValue, in.identity);
  return rows;
}

std::vector<RegistryRow> AssociationRows(const RegistrationInput& in) {
  const ConfigRecord& c = in.config;
  const std::string ext = ReadShort(c.assocext);
  if (ext.empty()) return {};
  const std::string exe = ReadShort(c.exename);
  const std::string program = ReadShort(c.assocprogram);

  std::string file, caption;
  if (program == exe) {
    file = exe;
  } else {
    int match = -1;
    for (int i = 0; i < 6 && match < 0; ++i) {
      if (ReadShort(c.shortcutfiles[i]) == program) match = i;
    }
    if (match < 0) return {};
    file = ReadShort(c.shortcutfiles[match]);
    caption = ReadShort(c.shortcutcaptions[match]);
  }
  const std::u16string quoted =
      u"\"" + AddTrailingBackslash(in.destfolder) + FromCodePage(file) + u"\"";
  const std::u16string command = quoted + u" \"%1\"";
  const ClassesPlace place = ClassesFor(in.root);
  const std::string cls = place.prefix + AssociationClass(c);
  const std::string exefile =
      exe.substr(exe.rfind('\\') == std::string::npos ? 0 : exe.rfind('\\') + 1);
  std::vector<RegistryRow> rows;
  AddRow(rows, place.root, place.prefix + ext, "", AssociationClass(c));
  AddRow(rows, place.root, cls, "", ReadShort(c.assocdescription));
  AddWideRow(rows, place.root, cls + "\\DefaultIcon", "", quoted);
  AddWideRow(rows, place.root, cls + "\\shell\\open\\command", "", command);
  AddRow(rows, place.root, cls + "\\shell\\mxaopen", "", "Open with " + caption);
  AddWideRow(rows, place.root, cls + "\\shell\\mxaopen\\command", "", command);
  AddRow(rows, in.root,
         "software\\microsoft\\windows\\currentversion\\app paths\\" + exefile + "\\",
         "fileassociations", ext);
  return rows;
}

std::vector<RegistryRow> ServiceRows(const RegistrationInput& in, const ServiceEntry& service) {
  const std::string key = AppPathsKey(ReadShort(in.config.exename));
  const std::string i = std::to_string(service.index);
  std::vector<RegistryRow> rows;
  AddRow(rows, in.root, key, "", service.file).name = "service" + i;
  AddRow(rows, in.root, key, "", service.name).name = "servicenames" + i;
  return rows;
}

std::u16string QuoteArgument(std::u16string_view arg) {
  if (!arg.empty() && arg.find_first_of(u" \t\"") == std::u16string_view::npos) {
    return std::u16string(arg);
  }
  std::u16string out = u"\"";
  std::size_t slashes = 0;
  for (char16_t c : arg) {
    if (c == u'\\') {
      ++slashes;
      continue;
    }
    // backslashes before a quote are doubled, and the quote escaped
    out.append(c == u'"' ? 2 * slashes + 1 : slashes, u'\\');
    slashes = 0;
    out.push_back(c);
  }
  out.append(2 * slashes, u'\\');  // before the closing quote
  out.push_back(u'"');
  return out;
}

std::u16string UninstallArguments(const RegistrationInput& in) {
  // an installation for one user says so: the same product may be installed for every user too
  return u"-ui " + QuoteArgument(FromCodePage(ReadShort(in.config.exename))) + u" " +
         QuoteArgument(u"/PRODUCT=" + FromCodePage(in.identity)) +
         (in.root == RegRoot::kCurrentUser ? u" /CURRENTUSER" : u"");
}

std::u16string UninstallCommand(const RegistrationInput& in) {
  return u"\"" + in.uninstaller + u"\" " + UninstallArguments(in);
}

std::u16string QuietUninstallCommand(const RegistrationInput& in) {
  return UninstallCommand(in) + u" /S";
}

std::vector<RegistryRow> UninstallRows(const RegistrationInput& in) {
  const std::string name = ReadShort(in.config.displayname);
  const std::string key = UninstallKey(in.identity);
  const PublisherInfo info = ReadPublisherInfo(in.config);
  const RegRoot root = in.root;
  std::vector<RegistryRow> rows;
  auto dword = [&](const char* value, std::uint32_t n) {
    RegistryRow& r = AddRow(rows, root, key, value, std::string());
    r.type = RegType::kDword;
    r.dword = n;
  };
  // KiB, rounded up; the value is 32 bits wide
  const std::uint64_t kib = (in.installedbytes + 1023) / 1024;
  if (in.displayname.empty()) {
    AddRow(rows, root, key, "DisplayName", name);
  } else {
    AddWideRow(rows, root, key, "DisplayName", in.displayname);  // the name in any script
  }
  AddWideRow(rows, root, key, "UninstallString", UninstallCommand(in));
  AddWideRow(rows, root, key, "QuietUninstallString", QuietUninstallCommand(in));
  AddRow(rows, root, key, "DisplayVersion", ReadShort(in.config.version));
  if (!info.publisher.empty()) AddRow(rows, root, key, "Publisher", info.publisher);
  AddWideRow(rows, root, key, "DisplayIcon",
             AddTrailingBackslash(in.destfolder) + FromCodePage(ReadShort(in.config.exename)));
  AddWideRow(rows, root, key, "InstallLocation", in.destfolder);
  AddWideRow(rows, root, key, kRecordValue, in.recordpath);
  dword("EstimatedSize", kib > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(kib));
  if (!in.installdate.empty()) AddRow(rows, root, key, "InstallDate", in.installdate);
  dword("NoModify", 1);
  dword("NoRepair", 1);
  if (!info.url.empty()) AddRow(rows, root, key, "URLInfoAbout", info.url);
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
