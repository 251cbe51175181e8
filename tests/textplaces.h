// Where each text of the catalog is shown, for the width check: the wizard's controls that hold
// it (their names as in wizard/layout.h), or a mark for texts whose window is sized to them or
// that are measured in their own dialog as it is shown. Every text must be listed here (a unit
// test checks it), so a new text says where it goes and the check measures it in every language.
#pragma once

#include <string_view>

#include "sysutil/texts.h"

namespace kestrel::textfit {

// Marks instead of control names:
inline constexpr std::string_view kSized = "";     // a title bar, a message box, a shortcut
inline constexpr std::string_view kPart = "part";  // a piece of another text ({status}, {reason})
inline constexpr std::string_view kFolderDialog = "@folder";  // measured in the folder dialog
inline constexpr std::string_view kWarningBox = "@warning";   // measured in the Yes/No warning box

struct TextPlace {
  TextId id;
  std::string_view controls;  // wizard control names separated by blanks, or a mark
};

inline constexpr TextPlace kTextPlaces[] = {
    {TextId::caption_install, kSized},
    {TextId::caption_uninstall, kSized},
    {TextId::button_back, "back"},
    {TextId::button_next, "next"},
    {TextId::button_cancel, "cancel"},
    {TextId::button_finish, "finish"},
    {TextId::welcome_title, "welcometitle"},
    {TextId::welcome_title2, "welcometitle2"},
    {TextId::welcome_label, "welcomelabel"},
    {TextId::click_next, "clicknext1 clicknext3"},
    {TextId::license_title, "licensetitle"},
    {TextId::license_label, "licenselabel"},
    {TextId::license_agree, "agree"},
    {TextId::password_title, "passwordtitle"},
    {TextId::password_label, "passwordlabel"},
    {TextId::password_prompt, "passwordprompt"},
    {TextId::password_wrong, kSized},
    {TextId::destination_title, "destinationtitle"},
    {TextId::destination_label, "installpathlabel"},
    {TextId::destination_change, "change"},
    {TextId::destination_click_next, "clicknext2"},
    {TextId::installing_title, "installingtitle"},
    {TextId::installing_label, "installinglabel"},
    {TextId::installing_cancelling, "installinglabel"},
    {TextId::installing_stopped_title, "installingtitle"},
    {TextId::installing_stopped_label, "installinglabel"},
    {TextId::finish_title, "finishtitle"},
    {TextId::finish_label, "finishlabel"},
    {TextId::finish_launch, "launch"},
    {TextId::finish_readme, "readme"},
    {TextId::click_finish, "clickfinish clickfinish2"},
    {TextId::uninstall_welcome_title, "welcometitle"},
    {TextId::uninstall_welcome_label, "welcomelabel"},
    {TextId::uninstall_click_next, "clicknext1"},
    {TextId::uninstall_title, "installingtitle"},
    {TextId::uninstall_label, "installinglabel"},
    {TextId::uninstall_finish_title, "uninstallfinishtitle"},
    {TextId::uninstall_finish_label, "uninstallfinishlabel"},
    {TextId::uninstall_stopped_title, "installingtitle"},
    {TextId::uninstall_stopped_label, "installinglabel"},
    {TextId::uninstall_settings_question, kSized},
    {TextId::box_error, kSized},
    {TextId::box_warning, kSized},
    {TextId::box_confirm, kSized},
    {TextId::box_yes, kWarningBox},
    {TextId::box_no, kWarningBox},
    {TextId::cancel_install_question, kSized},
    {TextId::cancel_uninstall_question, kSized},
    {TextId::install_error, kSized},
    {TextId::setup_data_problem, kSized},
    {TextId::already_running, kSized},
    {TextId::no_uninstall_info, kSized},
    {TextId::folder_caption, kSized},
    {TextId::folder_ok, kFolderDialog},
    {TextId::folder_cancel, kFolderDialog},
    {TextId::status_not_started, kPart},
    {TextId::status_no_folder, kPart},
    {TextId::status_file_exists, kPart},
    {TextId::status_cannot_create, kPart},
    {TextId::status_seek_failed, kPart},
    {TextId::status_corrupt, kPart},
    {TextId::status_read_failed, kPart},
    {TextId::status_write_failed, kPart},
    {TextId::status_unsafe_path, kPart},
    {TextId::status_no_key, kPart},
    {TextId::status_not_opened, kPart},
    {TextId::status_no_package, kPart},
    {TextId::status_encrypted, kPart},
    {TextId::delete_failed_in_use, kSized},
    {TextId::delete_failed_code, kSized},
    {TextId::folder_kept, kSized},
    {TextId::kept_system_folder, kPart},
    {TextId::kept_holds_system_folder, kPart},
    {TextId::kept_inside_windows, kPart},
    {TextId::kept_bad_spelling, kPart},
    {TextId::kept_unrepresentable, kPart},
    {TextId::kept_not_folder, kPart},
    {TextId::kept_unresolved, kPart},
    {TextId::kept_not_recorded, kPart},
    {TextId::fault_empty, kPart},
    {TextId::fault_too_long, kPart},
    {TextId::fault_control, kPart},
    {TextId::fault_surrogate, kPart},
    {TextId::fault_not_local, kPart},
    {TextId::fault_slash, kPart},
    {TextId::fault_reserved, kPart},
    {TextId::fault_empty_component, kPart},
    {TextId::fault_dot, kPart},
    {TextId::fault_trailing, kPart},
    {TextId::fault_device, kPart},
    {TextId::fault_drive_root, kPart},
    {TextId::shortcut_uninstall, kSized},
    {TextId::refused_destination, kSized},
    {TextId::refused_system_folder, kPart},
    {TextId::refused_is_file, kPart},
    {TextId::refused_unresolved, kPart},
    {TextId::too_many_iterations, kSized},
};

}  // namespace kestrel::textfit
