// Keeps the test helper library non-empty while the helpers grow.
namespace zk_testkit { int anchor = 0; }
