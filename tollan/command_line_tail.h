// The command-line tail: the process command line less the program name and
// the white space behind it.
#pragma once

// The program name runs up to and including the next double quote when the
// line begins with one, else up to the first byte of 0x20 or below; every
// following byte from 0x01 to 0x20 is passed over. The rest is the tail.
const char* CommandLineTail(const char* commandLine);
