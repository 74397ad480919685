# The sources of engine/view/, built as the object library qv_view.
set(QV_VIEW_SOURCES
  fractal.cpp
  fractal_ahead.cpp
)
