#pragma once

// Drops the mouse and key input that queued up while the window was blocked
// in a terminal call, so a second click on the button does not run the next
// stage by itself once the call returns. Other events are delivered as usual.
void discardQueuedInput();
