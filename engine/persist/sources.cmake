# The sources of engine/persist/, built as the object library qv_persist.
set(QV_PERSIST_SOURCES
  history_file.cpp
)
