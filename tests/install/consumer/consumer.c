/* A client of the installed library: built against the installed header and
   package only, it computes one small view and checks the version it was
   built for. */
#include <quorvel.h>
#include <stdio.h>

#if !defined(EXPECTED_MAJOR) || QUORVEL_VERSION_MAJOR != EXPECTED_MAJOR || \
    QUORVEL_VERSION_MINOR != EXPECTED_MINOR || QUORVEL_VERSION_PATCH != EXPECTED_PATCH
#error "the header's version is not the installed package's"
#endif

int main(void) {
    qv_handle handle = qv_create_context(16);
    const unsigned char* rgb;
    int slices = 0;
    if (handle == NULL) return 1;
    qv_set_image_properties(handle, 40, 30, 1, 1.0f);
    while (qv_refine_image(handle) && slices < 1000) ++slices;
    rgb = qv_get_rgb_image(handle);
    if (rgb == NULL || qv_get_image_width(handle) != 40) return 2;
    printf("quorvel %d.%d.%d: %s, %d slices\n", QUORVEL_VERSION_MAJOR, QUORVEL_VERSION_MINOR,
           QUORVEL_VERSION_PATCH, qv_describe_generator(0), slices);
    qv_delete_context(&handle);
    return 0;
}
