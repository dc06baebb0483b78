// A request to stop the work in progress early, made by a signal or by the user closing the
// program, and answered by the work at its next safe point.
#pragma once

// Asks the work to stop; `signal` is the signal that asked (0: not a signal). Safe to call from a
// signal handler and from any thread. The first request's signal is kept.
void tk_request_stop(int signal = 0) noexcept;
// Whether a stop was requested since the last tk_clear_stop(). A relaxed load: cheap enough to
// ask once per row.
bool tk_stop_requested() noexcept;
// The signal of the request, 0 when none was requested or it did not come from a signal.
int tk_stop_signal() noexcept;
// Forgets a request (a new run starts).
void tk_clear_stop() noexcept;

// SIGINT, SIGTERM and SIGHUP request a stop instead of ending the process at once, so that the
// work can end the way an Abort ends it; SIGXFSZ is ignored, so that a file-size limit reaches
// the writer as a failed write (EFBIG) it can report instead of a silent kill.
void tk_install_stop_signals();
