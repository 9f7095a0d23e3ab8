// Template part of script_view.h.
#pragma once

#include "support/script_rules.h"
#include "support/strings.h"

namespace kzpack {

template <typename EntryExists>
std::vector<ScriptLineView> ViewScript(const std::vector<std::string>& lines, const std::string& runType,
                                       EntryExists entryExists) {
  std::vector<ScriptLineView> views;
  const size_t kinds = AllWindowsKinds().size();
  // Each kind of Windows runs its own selection of lines, in order.
  std::vector<ScriptTargetClaims> claims(kinds);
  for (size_t i = 0; i < lines.size(); ++i) {
    ScriptLineView view;
    view.index = i;
    view.text = lines[i];
    view.active = !view.text.empty() && view.text[0] != '#';
    if (view.active) view.fields = SplitString(view.text, ',');
    std::string lineProblem;
    if (view.fields.size() < 3)
      lineProblem = "fewer than three fields";
    else
      lineProblem = TargetProblem(view.fields[2]);
    for (size_t k = 0; k < kinds; ++k) {
      const bool selected = view.active && LineSelected(view.text, AllWindowsKinds()[k], runType);
      view.selected.push_back(selected);
      std::string problem;
      if (selected) {
        problem = lineProblem;
        std::string clash;
        if (problem.empty() && !claims[k].Claim(view.fields[2], &clash))
          problem = "target \"" + view.fields[2] + "\" uses \"" + clash +
                    "\" as a folder where another line writes a file of that name, or the other way round";
        if (problem.empty() && !entryExists(view.fields[1]))
          problem = "the bundle has no entry \"" + view.fields[1] + "\"";
      }
      if (view.problem.empty()) view.problem = problem;
      view.problemOn.push_back(problem);
    }
    views.push_back(std::move(view));
  }
  return views;
}

}  // namespace kzpack
