# The sources of engine/refine/, built as the object library qv_refine.
set(QV_REFINE_SOURCES
  refine.cpp
)
