// Keeps the library non-empty until its first real source lands; delete then.
namespace { int placeholder_mrc = 0; }
