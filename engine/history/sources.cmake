# The sources of engine/history/, built as the object library qv_history.
set(QV_HISTORY_SOURCES
  context.cpp
  history.cpp
)
