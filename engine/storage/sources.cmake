# The sources of engine/storage/, built as the object library qv_storage.
set(QV_STORAGE_SOURCES
  bit_streams.cpp
  count_code.cpp
  count_plane.cpp
  delta_code.cpp
  fraction_code.cpp
  masked_image.cpp
)
