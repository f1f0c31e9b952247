#pragma once
namespace bm::app {
// Makes every window of the program known by name, so a first reference can load it.
void RegisterAllForms();
}  // namespace bm::app
