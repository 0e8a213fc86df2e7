// Library version, so that the shared object always has at least one symbol of its own.
namespace tyx {
const char* library_version() { return "0.1.0"; }
}  // namespace tyx
