// Asking for a passphrase on the controlling terminal: the prompt goes to
// the terminal, the answer is read with echo off, and the terminal is put
// back as it was on every way out, an interrupt included.
#pragma once

#include <cstddef>
#include <string_view>

#include "vornex/core/secret.hpp"
#include "vornex/keychain/error.hpp"

namespace vornex::keychain::terminal {

// The most bytes a line may hold before its "\n" (a "\r" counts); a broken
// or hostile terminal must not make the reader grow without bound.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// One line from `fd`: the bytes up to "\n", without the "\n" or "\r\n" that
// ends it. Reads byte by byte, so nothing after the line is consumed. End
// of input before the "\n", a line over kMaxLineBytes and text that is not
// UTF-8 are errors; the buffer is wiped on every path.
KeychainResult<core::SecretBytes> read_line(int fd);

// How often a reader waiting for input looks for an interrupt. SIGINT goes
// to whichever thread the kernel picks (the main one, for a Python program),
// so a read in another thread would never see it.
inline constexpr int kInterruptCheckMillis = 50;

// Writes `prompt` to the controlling terminal ("/dev/tty") and reads one
// line there with echo off (read_line). It waits under a
// store::InterruptWatch: an interrupt (SIGINT) while waiting, delivered to
// this thread or another, or one that came before under a watch the caller
// holds, ends it with the terminal restored and the error "interrupted"
// (see interrupted_at_prompt); the program's own disposition sees the
// interrupt as the watch says. Every failure is
// KeychainError::PassphraseProvider. Prompts in several threads take turns:
// one at a time in the process.
KeychainResult<core::SecretBytes> ask_hidden(std::string_view prompt);

// Sets up, once per process, what prompts share: their turn, the exit
// handler that puts a terminal back and the fork handler that makes a
// child forget a terminal its parent hid. Call it where no other thread
// can fork meanwhile (as the module loads), so that no child inherits it
// half set up; prompts do it themselves otherwise. False when a handler
// could not be registered.
bool start();

// The prompt's report of an interrupt, also given where an unlock stops for
// one before or after asking.
KeychainError interrupted();

// Whether `error` is the prompt's report of an interrupt.
bool interrupted_at_prompt(const KeychainError& error);

}  // namespace vornex::keychain::terminal
