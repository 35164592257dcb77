#include "app/Option.h"

namespace vix::app {

TOptionBoxes ReadOptionBoxes(TShellIntegration& shell) {
  TOptionBoxes boxes;
  boxes.CheckBox1 = shell.IsShellExtensionRegistered();
  boxes.CheckBox2 = shell.ShortcutExists(kShortcutName, kCsidlDesktopDirectory);
  boxes.CheckBox3 = shell.ShortcutExists(kShortcutName, kCsidlSendTo);
  return boxes;
}

void ApplyOptionBoxes(TShellIntegration& shell, const TOptionBoxes& boxes) {
  if (boxes.CheckBox1)
    shell.RegisterShellExtension();
  else
    shell.UnregisterShellExtension();
  const std::string program = shell.ProgramPath();
  shell.UpdateShortcut(program, kShortcutName, kCsidlDesktopDirectory, boxes.CheckBox2);
  shell.UpdateShortcut(program, kShortcutName, kCsidlSendTo, boxes.CheckBox3);
}

}  // namespace vix::app
