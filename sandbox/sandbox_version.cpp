// Keeps the sandbox library non-empty while its servers are added area by area.
namespace tyx::sandbox {
const char* sandbox_version() {
    return "0.1.0";
}
}  // namespace tyx::sandbox
