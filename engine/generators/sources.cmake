# The sources of engine/generators/, built as the object library qv_generators.
set(QV_GENERATORS_SOURCES
  boxed_generator.cpp
  contour_tracing_generator.cpp
  dumb_generator.cpp
  generator.cpp
  generator_factory.cpp
)
