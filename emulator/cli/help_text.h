// What vekos-run --help says beside the options: the synopsis and the exit
// statuses, limits, output files, window and answers.
#pragma once

namespace vekos {

inline constexpr const char* kDescription
    = "Usage: vekos-run [OPTIONS] PROGRAM [ARGS...]\n\n"
      "Runs a vekos program (a 32-bit i386 static ELF) on this machine, answering its\n"
      "int 0x80 kernel calls: console, a sandboxed file system, sleeping, exit, and a\n"
      "window shown on a display and recorded.";

inline constexpr const char* kFooter = R"(Exit status:
  the program's own exit status (its low 8 bits, as the host keeps them)
  2    vekos-run was used wrongly (unknown option, a value out of range, no
       PROGRAM, arguments that do not fit, an output file that cannot be written)
  124  --timeout expired
  125  vekos-run itself failed (a message says why; a --trace or output file
       that could not be written is one such failure)
  126  PROGRAM cannot be run: not a regular file, over 64 MiB, not a 32-bit i386
       static ELF executable, truncated, more than 16 loadable segments or more
       than 1 GiB of them, segments outside the address space or overlapping,
       memory both writable and executable
  127  PROGRAM not found
  128+N  a signal N (SIGINT, SIGTERM, SIGHUP, SIGQUIT) stopped the run: 130 for
       Ctrl-C
  132  the program executed an invalid instruction (ud2, syscall, ...)
  136  the program divided by zero
  139  the program made a memory fault (unmapped or protected access), a
       general protection fault (a privileged instruction such as hlt, cli,
       in, out, lgdt, mov cr0, wrmsr or sysenter: programs run in user mode)
       or raised a stray interrupt (int3, into, int n other than 0x80)
  141  standard output or error was closed while the program wrote to it
  152  --max-insns reached

Limits: the program's arguments (strings and pointers) take at most 512 KiB,
half of its 1 MiB stack.  Files: no file the program writes may exceed
--max-file-size (default 64 MiB; -27 file too large), and everything it adds
to files, with what its whole-file streams hold, may not exceed --fs-quota
(default 256 MiB; -28 no space left).

Output files (--record, --screenshot, --trace=FILE) are checked before the
run and written only once there is something to write: to a temporary file
beside the target, renamed into place at the end, so an existing file is
replaced whole or not at all (a device or FIFO is written in place, never
removed).  A run that ends early (a fault, --timeout, --max-insns, a signal)
still writes what it made: the frames so far, the last frame, the trace.  If
vekos-run itself fails, the temporary files are removed and existing files
are left as they were.

Window: gui_create and gui_attach open one window of 640x480 pixels; the
frame calls draw into it and gui_present shows it (--display) and records it
(--record, --screenshot).  Keys typed on the display, and those of --keys,
reach gui_poll_event and gui_wait_event as key events (type 1, code the
character: 'q', 'Q', 27 Escape, '\n' Enter, 8 Backspace, 9 Tab, 127 Delete).
Closing the window sends Escape.  With no display gui_wait_event answers 0 at
once when no key is pending.

Kernel calls that fail answer a negative Linux errno number: -2 no such file,
-9 bad descriptor, -11 try again (a pipe or FIFO with nothing to read),
-13 permission denied, -14 bad address, -16 busy (a second window), -17
exists, -19 no such device (--gui-fail), -20 not a directory, -21 is a
directory, -22 invalid argument, -27 file too large, -28 no space left (the
quota), -38 not implemented (marked in the trace), -39 directory not empty.
)";

} // namespace vekos
