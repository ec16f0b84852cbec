// Platform glue shared by the server's files.
#pragma once

// Routines entered by the platform realign the stack on i686, where the
// platform guarantees only 4-byte alignment.
#if defined(__i386__)
#define KELMO_ALIGN_STACK __attribute__((force_align_arg_pointer))
#else
#define KELMO_ALIGN_STACK
#endif
