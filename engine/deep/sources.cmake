# The sources of engine/deep/, built as the object library qv_deep.
set(QV_DEEP_SOURCES
  grid_coordinates.cpp
  mpfr_number.cpp
  perturbation.cpp
  perturbation_batch.cpp
  perturbation_batch_avx2.cpp
  perturbation_batch_avx512.cpp
  perturbation_batch_sse2.cpp
  perturbation_ext.cpp
  perturbation_ext_batch.cpp
  perturbation_ext_batch_avx2.cpp
  perturbation_ext_batch_avx512.cpp
  perturbation_ext_batch_sse2.cpp
  perturbation_plan.cpp
  reference_orbit.cpp
  wide_real.cpp
)
