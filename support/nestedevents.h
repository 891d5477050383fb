#pragma once

// The main thread's events handled from inside a handler that waits for something (a stop
// draining its devices). What must never run under a running handler, such as a reload that
// replaces the remote control whose request is under way, asks first and waits until the
// outermost of these has returned.

// Handles the events waiting now, counted as nested.
void ProcessNestedEvents();
// Whether a handler is waiting in ProcessNestedEvents.
bool InsideNestedEvents();
