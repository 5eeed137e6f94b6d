#pragma once

// What assistive technology sees of the widgets, where Qt's own accessibility needs help.
namespace Accessibility {

// Installs the application's accessibility factory. Call once, before the first widget.
//
// Scroll areas: Qt's own interface answers a request for a child past the end by reading past
// its list, and a screen reader asks exactly that when the scroll bar has just come or gone
// since it counted the children. Ours counts and fetches the children from one list.
void install();

} // namespace Accessibility
