# The sources of engine/base/, built as the object library qv_base.
set(QV_BASE_SOURCES
  atomic_file.cpp
  free_pages.cpp
)
