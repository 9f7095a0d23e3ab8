// Template part of script_view.h.
#pragma once

#include "support/script_rules.h"
#include "support/strings.h"

namespace kzpack {

template <typename EntryExists>
std::vector<ScriptLineView> ViewScript(const std::string& text, const std::string& runType, EntryExists entryExists) {
  std::vector<ScriptLineView> views;
  const std::vector<std::string> lines = ReadScriptText(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    ScriptLineView view;
    view.index = i;
    view.text = lines[i];
    view.active = !view.text.empty() && view.text[0] != '#';
    bool any = false;
    for (const WindowsKind& kind : AllWindowsKinds()) {
      const bool selected = view.active && LineSelected(view.text, kind, runType);
      view.selected.push_back(selected);
      any = any || selected;
    }
    if (view.active) view.fields = SplitString(view.text, ',');
    if (any) {
      if (view.fields.size() < 3)
        view.problem = "fewer than three fields";
      else if (ScriptTargetNamesDevice(view.fields[2]))
        view.problem = "target \"" + view.fields[2] + "\" names a Windows device (CON, NUL, COM1, ...), not a file";
      else if (!IsSafeScriptTarget(view.fields[2]))
        view.problem = "target \"" + view.fields[2] + "\" leaves the workspace";
      else if (!entryExists(view.fields[1]))
        view.problem = "the bundle has no entry \"" + view.fields[1] + "\"";
    }
    views.push_back(std::move(view));
  }
  return views;
}

}  // namespace kzpack
