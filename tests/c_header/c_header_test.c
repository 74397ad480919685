/* Compiles the public header as strict C99 and makes a few calls through it. */
#include <stdio.h>
#include <string.h>

#include "quorvel.h"

int main(void) {
    qv_handle handle = qv_create_context(16);
    Location place;
    double x = 1.0, y = 1.0, radius = 0.0;
    char tx[63], ty[63];
    bool ok;
    double density = 0.0, phase = 1.0;
    int smooth = 1;
    uint32_t counts[1];
    if (handle == NULL) return 1;
    if (sizeof(Location) != 100) return 2;
    if (qv_get_image_width(handle) != 100 || qv_get_image_height(handle) != 100) return 3;
    qv_get_view_params_as_doubles(handle, &x, &y, &radius);
    if (x != 0.0 || y != 0.0 || radius != 2.0) return 4;
    qv_get_view_params_as_text(handle, tx, ty, &radius);
    if (strcmp(tx, "+0.0x+0") != 0) return 5;
    qv_store_location_to(handle, &place);
    if (place.max_iterations != 150) return 6;
    if (strcmp(qv_describe_generator(2), "brute force") != 0) return 7;
    ok = qv_history_back(handle);
    if (ok) return 8;
    if (qv_set_deep_kernel(handle, 2) != 0 || qv_get_deep_kernel(handle) != 2) return 10;
    qv_get_colour_mapping(handle, &density, &phase, &smooth);
    if (density != 1.0 || phase != 0.0 || smooth != 0) return 11;
    if (qv_set_colour_mapping(handle, 0.0, 0.0, 0) != 0) return 12;
    if (qv_set_colour_mapping(handle, 4.0, 300.0, 1) != 1) return 13;
    qv_get_colour_mapping(handle, &density, &phase, &smooth);
    if (density != 4.0 || phase != 44.0 || smooth != 1) return 14;
    if (qv_get_pixel_counts(handle, counts, NULL, 1) != 10000) return 15;
    qv_delete_context(&handle);
    if (handle != NULL) return 9;
    printf("c header ok\n");
    return 0;
}
