#include "generators/generator_factory.h"

#include "generators/boxed_generator.h"
#include "generators/contour_tracing_generator.h"
#include "generators/dumb_generator.h"

namespace quorvel {

std::unique_ptr<Generator> make_generator(int type, Fractal& view) {
    switch (type) {
        case 1:
            return std::make_unique<BoxedGenerator>(view);
        case 2:
            return std::make_unique<DumbGenerator>(view);
        default:
            return std::make_unique<ContourTracingGenerator>(view);
    }
}

const char* describe_generator(int type) {
    switch (type) {
        case 0:
            return "contour tracing";
        case 1:
            return "box matching";
        case 2:
            return "brute force";
        default:
            return "unknown!?";
    }
}

}  // namespace quorvel
