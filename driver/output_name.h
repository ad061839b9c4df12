#ifndef KYVANE_DRIVER_OUTPUT_NAME_H
#define KYVANE_DRIVER_OUTPUT_NAME_H

// The last component of path: a pointer into path just after its last '/',
// or path itself when it holds none. Allocates nothing.
const char *path_basename(const char *path);

// A new malloc'ed string "recon_" + the base name of input; NULL when out of
// memory. The caller frees it.
char *default_output_name(const char *input);

// Guards an existing file from being overwritten without consent: when an
// entry named like path exists in its directory, asks on standard output
// whether to overwrite it or to type another name (read from standard input).
// path must be malloc'ed; it may be reallocated, so use only the returned
// pointer afterwards. Returns NULL, having freed the path, when the check
// cannot be made (no memory, unlistable directory, end of standard input).
char *confirm_output_file(char *path);

#endif
