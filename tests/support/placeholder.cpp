// Keeps the test helper library non-empty until its first helper lands.
namespace testmov { int placeholder_unused = 0; }
