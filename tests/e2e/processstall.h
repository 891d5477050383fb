#pragma once

// Holds up the process thread of this process's "Lagvane" JACK client once, for ms
// milliseconds, at the start of its next cycle, while the server and every other client run on:
// a stall of our own audio thread, made on purpose. Linked into a test, it stands in for
// jack_set_process_callback, so that it sits between libjack and the program's callback.
void StallLagvaneProcessThread(unsigned ms);
