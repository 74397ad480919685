# The sources of engine/api/, built as the object library qv_api.
set(QV_API_SOURCES
  context_registry.cpp
  exports.cpp
)
