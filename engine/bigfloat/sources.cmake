# The sources of engine/bigfloat/, built as the object library qv_bigfloat.
set(QV_BIGFLOAT_SOURCES
  big_float.cpp
  big_float_arith.cpp
  big_float_mulx.cpp
  big_float_normalise.cpp
  ext_float.cpp
  orbit_batch.cpp
  orbit_batch_avx2.cpp
  orbit_batch_avx512.cpp
  orbit_batch_sse2.cpp
)
