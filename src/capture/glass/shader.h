// glass: the GLSL source of both glass effects, compiled at run time.
//
// One vertex function draws a triangle over the whole target with uv at the
// top left; lens_main and ring_main are the two fragment functions. The
// uniform block is 64 bytes read as four vec4 (the lens uses the first 32).
// math.cpp repeats the fragment functions on the CPU; keep them in step.
#pragma once

namespace glass {

inline constexpr const char* VERTEX_SOURCE = R"(#version 330 core
// Un triángulo que cubre todo el destino; uv con origen arriba a la izquierda.
// La fila 0 del framebuffer es la de arriba de la imagen: la lectura sale en
// el orden de las filas de una imagen, sin darle la vuelta.
out vec2 uv;
void main() {
    vec2 q = vec2(float((gl_VertexID * 2) & 2), float(gl_VertexID & 2));
    gl_Position = vec4(2.0 * q.x - 1.0, 1.0 - 2.0 * q.y, 0.0, 1.0);
    uv = vec2(q.x, 1.0 - q.y);
}
)";

// The shared functions and the two entry points; FRAGMENT_MAIN picks one.
inline constexpr const char* FRAGMENT_SOURCE = R"(
in vec2 uv;
out vec4 color;
uniform sampler2D tex;   // filtro lineal, bordes fijos
uniform vec4 data[4];    // el bloque de 64 bytes

const vec3 BLUE = vec3(0.52, 0.50, 0.98);

float luma(vec3 c) { return dot(c, vec3(0.299, 0.587, 0.114)); }

// Distancia con signo a un rectángulo redondeado; negativa dentro.
float sd_round_rect(vec2 p, vec4 r, float radius) {
    vec2 hs = r.zw * 0.5;
    float rr = min(radius, min(hs.x, hs.y));
    vec2 q = abs(p - r.xy - hs) - hs + rr;
    return length(max(q, 0.0)) + min(max(q.x, q.y), 0.0) - rr;
}

// Normal hacia fuera: diferencia central con paso de un píxel.
vec2 outward(vec2 p, vec4 r, float radius) {
    vec2 n = vec2(sd_round_rect(p + vec2(1.0, 0.0), r, radius) - sd_round_rect(p - vec2(1.0, 0.0), r, radius),
                  sd_round_rect(p + vec2(0.0, 1.0), r, radius) - sd_round_rect(p - vec2(0.0, 1.0), r, radius));
    float l = length(n);
    return l > 0.0001 ? n / l : vec2(0.0);
}

// Muestra desviada: la dispersión tiñe de azul donde las muestras difieren.
vec3 bent(vec2 p, vec2 off, vec2 size, float dispersion) {
    vec3 base = texture(tex, (p + off) / size).rgb;
    vec3 a = texture(tex, (p + off * (1.0 + dispersion)) / size).rgb;
    vec3 b = texture(tex, (p + off * (1.0 - dispersion)) / size).rgb;
    return base + (BLUE - luma(BLUE)) * abs(luma(a) - luma(b)) * 2.2;
}

// Pendiente del bisel: casi vertical en el borde, plana donde acaba.
float slope(float x) { return x / sqrt(max(1.0 - x * x, 0.02)); }

// Luz del borde: un brillo hacia arriba a la izquierda y un canto claro.
float rim_light(vec2 n, float x, float specular) {
    float z = sqrt(max(1.0 - x * x, 0.0));
    vec3 normal = normalize(vec3(n * x, z));
    vec3 h = normalize(normalize(vec3(-0.45, -0.75, 0.55)) + vec3(0.0, 0.0, 1.0));
    float nh = max(dot(normal, h), 0.0);
    float e = 1.0 - z;
    return (pow(nh, 70.0) * 1.1 + pow(nh, 10.0) * 0.12 + e * e * e * 0.4) * specular;
}

// La lente: la imagen se abomba, el bisel refracta y brilla.
vec4 lens_main() {
    vec2 size = data[0].xy; float radius = data[0].z; float bevel = data[0].w;
    float refraction = data[1].x; float dispersion = data[1].y; float specular = data[1].z; float env = data[1].w;
    vec2 p = uv * size;
    vec2 h = size * 0.5;
    vec4 r = vec4(0.0, 0.0, size);
    float s = -sd_round_rect(p, r, radius);
    float k = clamp(s / min(h.x, h.y), 0.0, 1.0);
    float dome = 1.0 - (1.0 - k) * (1.0 - k);
    vec2 off = (p - h) * (-dome * 0.3 * refraction * env);
    float edge = abs(env) * 0.6;
    float highlight = 0.0;
    if (s < bevel) {
        vec2 n = outward(p, r, radius);
        float x = clamp(1.0 - s / bevel, 0.0, 1.0);
        off -= n * (slope(x) * refraction * bevel * 0.5 * edge);
        vec2 l = normalize(vec2(-1.0, -1.2));
        highlight = (pow(max(dot(n, l), 0.0), 8.0) * smoothstep(0.0, 1.0, x)
                   + pow(max(dot(n, -l), 0.0), 8.0) * smoothstep(0.3, 1.0, x) * 0.3) * specular * edge;
    }
    vec3 c = bent(p, off, size, dispersion);
    vec2 lp = (p - h) / h;
    float sb = max(1.0 - 1.6 * length(lp - vec2(-0.45, -0.5)), 0.0);
    float spot = sb * sb * sb * 0.35 * specular * abs(env);
    return vec4(clamp(c + highlight + spot, 0.0, 1.0), 1.0);
}

// El anillo: una banda de vidrio sobre el borde de la ventana.
vec4 ring_main() {
    vec4 rect = data[0];
    vec2 size = data[1].xy; float radius = data[1].z; float width = data[1].w;
    float refraction = data[2].x; float dispersion = data[2].y; float specular = data[2].z; float alpha = data[2].w;
    float scale = data[3].x;
    vec2 p = uv * size;
    float d = sd_round_rect(p, rect, radius);
    float s = -d;
    if (d > 2.0 * scale || s > width)
        return vec4(0.0);
    float rim = (1.0 - smoothstep(0.0, 1.5 * scale, abs(d + 0.75 * scale))) * 0.75;
    vec4 o;
    if (s < 0.0) {
        float shade = (1.0 - smoothstep(0.0, 2.0 * scale, d)) * 0.18;
        o = vec4(vec3(rim), rim + shade * (1.0 - rim));
    } else {
        vec2 n = outward(p, rect, radius);
        float x = 1.0 - s / width;
        vec3 g = bent(p, -n * slope(x) * width * 0.5 * refraction, size, dispersion);
        g = clamp(g + rim_light(n, x, specular) * smoothstep(0.0, 1.0, x), 0.0, 1.0);
        o = vec4(mix(g, vec3(1.0), rim), 1.0);
    }
    return o * alpha;
}

void main() { color = FRAGMENT_MAIN(); }
)";

} // namespace glass
