// Placeholder translation unit so the support library always has one source.
namespace kyvane_support { int support_linked = 1; }
