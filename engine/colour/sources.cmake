# The sources of engine/colour/, built as the object library qv_colour.
set(QV_COLOUR_SOURCES
  rgb_image.cpp
)
