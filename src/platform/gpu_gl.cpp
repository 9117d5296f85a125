#include "platform/gpu.h"

#include "base/util.h"
#include "platform/process.h"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLShaderProgram>
#include <QSurfaceFormat>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif

namespace platform {

namespace {

QOffscreenSurface* g_surface = nullptr;

QSurfaceFormat gl_format()
{
    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    return format;
}

class GpuGl;

class TextureGl final : public GpuTexture {
public:
    TextureGl(std::shared_ptr<GpuGl> gpu, GLuint id, int w, int h)
        : m_gpu(std::move(gpu))
        , m_id(id)
        , m_w(w)
        , m_h(h)
    {
    }
    ~TextureGl() override;
    int width() const override { return m_w; }
    int height() const override { return m_h; }
    GLuint id() const { return m_id; }

private:
    std::shared_ptr<GpuGl> m_gpu;
    GLuint m_id;
    int m_w, m_h;
};

class GpuGl final : public Gpu, public std::enable_shared_from_this<GpuGl> {
public:
    // The share context owns the programs; both go with the last reference
    // (every context and texture holds one).
    QOpenGLContext* share = nullptr;
    QOpenGLShaderProgram* lens_program = nullptr;
    QOpenGLShaderProgram* ring_program = nullptr;
    GLuint lens = 0;
    GLuint ring = 0;
    std::string renderer_name;

    ~GpuGl() override;

    std::string renderer() const override { return renderer_name; }
    bool software() const override { return software_renderer(renderer_name); }
    std::expected<std::unique_ptr<GpuContext>, std::string> context() override;

    // Textures dropped on a thread without a context of ours: deleted by the
    // next context that draws.
    void forget(GLuint id)
    {
        std::lock_guard lock(m_mutex);
        m_dropped.push_back(id);
    }
    std::vector<GLuint> dropped()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_dropped, {});
    }

private:
    std::mutex m_mutex;
    std::vector<GLuint> m_dropped;
};

GpuGl::~GpuGl()
{
    // The share context belongs to the thread that built it, which may be
    // any; a context of the same group made here deletes what the group
    // holds (programs, textures dropped without a context). Contexts and
    // textures hold this object, so none of them is left.
    QOpenGLContext eraser;
    eraser.setFormat(gl_format());
    eraser.setShareContext(share);
    const bool current = share && g_surface && eraser.create() && eraser.makeCurrent(g_surface);
    if (current)
        for (GLuint id : dropped())
            eraser.functions()->glDeleteTextures(1, &id);
    // Without a current context Qt frees the programs with the group.
    delete lens_program;
    delete ring_program;
    if (current)
        eraser.doneCurrent();
    delete share;
}

TextureGl::~TextureGl()
{
    QOpenGLContext* current = QOpenGLContext::currentContext();
    if (current && QOpenGLContext::areSharing(current, m_gpu->share))
        current->functions()->glDeleteTextures(1, &m_id);
    else
        m_gpu->forget(m_id);
}

class ContextGl final : public GpuContext {
public:
    explicit ContextGl(std::shared_ptr<GpuGl> gpu)
        : m_gpu(std::move(gpu))
    {
    }

    ~ContextGl() override
    {
        if (!m_ready)
            return;
        m_context.makeCurrent(g_surface);
        for (GLuint id : m_gpu->dropped())
            f()->glDeleteTextures(1, &id);
        if (m_fbo) {
            f()->glDeleteFramebuffers(1, &m_fbo);
            f()->glDeleteTextures(1, &m_target);
        }
        f()->glDeleteVertexArrays(1, &m_vao);
        m_context.doneCurrent();
    }

    std::expected<void, std::string> start()
    {
        m_context.setFormat(gl_format());
        m_context.setShareContext(m_gpu->share);
        if (!m_context.create() || !m_context.makeCurrent(g_surface))
            return std::unexpected(std::string("sin contexto OpenGL"));
        f()->glGenVertexArrays(1, &m_vao);
        m_ready = true;
        return {};
    }

    std::expected<std::shared_ptr<GpuTexture>, std::string> upload(const GpuPixels& px) override
    {
        if (!px.pixels || px.w <= 0 || px.h <= 0)
            return std::unexpected(std::string("imagen vacía"));
        GLint limit = 0;
        f()->glGetIntegerv(GL_MAX_TEXTURE_SIZE, &limit);
        if (px.w > limit || px.h > limit)
            return std::unexpected(fmt_size("textura demasiado grande", px.w, px.h));
        GLuint id = 0;
        f()->glGenTextures(1, &id);
        f()->glBindTexture(GL_TEXTURE_2D, id);
        f()->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        f()->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        f()->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        f()->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        f()->glPixelStorei(GL_UNPACK_ROW_LENGTH, px.stride);
        f()->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        f()->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, px.w, px.h, 0, GL_BGRA, GL_UNSIGNED_BYTE, px.pixels);
        f()->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        const GLenum error = f()->glGetError();
        // Other contexts draw with it: the upload must be complete first.
        f()->glFinish();
        if (error != GL_NO_ERROR) {
            f()->glDeleteTextures(1, &id);
            return std::unexpected(fmt_size("no se pudo subir la textura", px.w, px.h));
        }
        return std::make_shared<TextureGl>(m_gpu, id, px.w, px.h);
    }

    std::expected<void, std::string> draw(GpuProgram program, const GpuTexture& texture, const GpuUniforms& uniforms,
        int w, int h, const std::optional<GpuRect>& region, QImage& out) override
    {
        for (GLuint id : m_gpu->dropped())
            f()->glDeleteTextures(1, &id);
        if (w <= 0 || h <= 0)
            return std::unexpected(std::string("destino vacío"));
        if (!target(w, h))
            return std::unexpected(fmt_size("sin framebuffer", w, h));
        const GpuRect r = region.value_or(GpuRect { 0, 0, w, h });
        if (r.w <= 0 || r.h <= 0 || r.x < 0 || r.y < 0 || r.x + r.w > w || r.y + r.h > h)
            return std::unexpected(std::string("región fuera del destino"));
        const GLuint id = program == GpuProgram::Lens ? m_gpu->lens : m_gpu->ring;
        f()->glBindFramebuffer(GL_FRAMEBUFFER, m_fbo);
        f()->glViewport(0, 0, w, h);
        // The vertex stage draws the picture's top row into the framebuffer's
        // row 0, so rows read back in picture order and regions need no flip.
        const int gl_y = r.y;
        if (region) {
            f()->glEnable(GL_SCISSOR_TEST);
            f()->glScissor(r.x, gl_y, r.w, r.h);
        } else {
            f()->glDisable(GL_SCISSOR_TEST);
        }
        f()->glDisable(GL_BLEND);
        f()->glUseProgram(id);
        f()->glUniform1i(f()->glGetUniformLocation(id, "tex"), 0);
        f()->glUniform4fv(f()->glGetUniformLocation(id, "data"), 4, uniforms.data());
        f()->glActiveTexture(GL_TEXTURE0);
        f()->glBindTexture(GL_TEXTURE_2D, static_cast<const TextureGl&>(texture).id());
        f()->glBindVertexArray(m_vao);
        f()->glDrawArrays(GL_TRIANGLES, 0, 3);
        if (out.width() != r.w || out.height() != r.h || out.format() != QImage::Format_ARGB32_Premultiplied)
            out = QImage(r.w, r.h, QImage::Format_ARGB32_Premultiplied);
        f()->glPixelStorei(GL_PACK_ROW_LENGTH, static_cast<GLint>(out.bytesPerLine() / 4));
        f()->glPixelStorei(GL_PACK_ALIGNMENT, 4);
        f()->glReadPixels(r.x, gl_y, r.w, r.h, GL_BGRA, GL_UNSIGNED_BYTE, out.bits());
        f()->glPixelStorei(GL_PACK_ROW_LENGTH, 0);
        if (f()->glGetError() != GL_NO_ERROR)
            return std::unexpected(std::string("no se pudo leer el framebuffer"));
        return {};
    }

private:
    QOpenGLExtraFunctions* f() { return m_context.extraFunctions(); }

    static std::string fmt_size(const char* what, int w, int h)
    {
        return std::string(what) + " " + std::to_string(w) + "×" + std::to_string(h);
    }

    bool target(int w, int h)
    {
        if (m_fbo && m_fw == w && m_fh == h)
            return true;
        if (!m_fbo) {
            f()->glGenFramebuffers(1, &m_fbo);
            f()->glGenTextures(1, &m_target);
        }
        f()->glBindTexture(GL_TEXTURE_2D, m_target);
        f()->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        f()->glBindFramebuffer(GL_FRAMEBUFFER, m_fbo);
        f()->glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, m_target, 0);
        if (f()->glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
            m_fw = m_fh = 0;
            return false;
        }
        m_fw = w;
        m_fh = h;
        return true;
    }

    std::shared_ptr<GpuGl> m_gpu;
    QOpenGLContext m_context;
    bool m_ready = false;
    GLuint m_vao = 0;
    GLuint m_fbo = 0;
    GLuint m_target = 0;
    int m_fw = 0, m_fh = 0;
};

std::expected<std::unique_ptr<GpuContext>, std::string> GpuGl::context()
{
    auto context = std::make_unique<ContextGl>(shared_from_this());
    if (auto started = context->start(); !started)
        return std::unexpected(started.error());
    return context;
}

// Compiles one program; the error is the compiler's or linker's log.
std::expected<QOpenGLShaderProgram*, std::string> build_program(const std::string& vertex, const std::string& fragment)
{
    auto* program = new QOpenGLShaderProgram();
    if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, QByteArray::fromStdString(vertex))
        || !program->addShaderFromSourceCode(QOpenGLShader::Fragment, QByteArray::fromStdString(fragment))
        || !program->link()) {
        std::string log = program->log().trimmed().toStdString();
        delete program;
        return std::unexpected(log.empty() ? std::string("error desconocido") : log);
    }
    return program;
}

// GL_RENDERER of a context made current on `surface`; none without one.
std::optional<std::string> renderer_on(QOffscreenSurface& surface)
{
    QOpenGLContext context;
    context.setFormat(gl_format());
    if (!context.create() || !context.makeCurrent(&surface))
        return std::nullopt;
    const QSurfaceFormat got = context.format();
    const auto* name = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
    std::optional<std::string> renderer;
    if (name && got.majorVersion() * 10 + got.minorVersion() >= 33)
        renderer = name;
    context.doneCurrent();
    return renderer;
}

} // namespace

bool software_renderer(std::string_view renderer)
{
    for (const std::string_view soft : { "llvmpipe", "softpipe", "swrast" })
        if (renderer.find(soft) != std::string_view::npos)
            return true;
    return false;
}

std::optional<std::string> probe_renderer()
{
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || self.filename() != "vistrope-app")
        return std::nullopt;
    auto ran = run_process(self.string(), { PROBE_ARGUMENT }, std::chrono::seconds(10), 4096);
    if (!ran) {
        util::log("vidrio: no pude preguntar por el renderizador: " + ran.error());
        return std::nullopt;
    }
    std::string name = ran->standard_output;
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    if (!ran->succeeded() || name.empty())
        return std::nullopt;
    return name;
}

std::optional<int> run_probe_if_asked(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[1], PROBE_ARGUMENT) != 0)
        return std::nullopt;
    QGuiApplication app(argc, argv);
    QOffscreenSurface surface;
    surface.setFormat(gl_format());
    surface.create();
    const std::optional<std::string> renderer = surface.isValid() ? renderer_on(surface) : std::nullopt;
    if (!renderer)
        return 1;
    std::printf("%s\n", renderer->c_str());
    return 0;
}

bool prepare_gpu_surface()
{
    util::require_main_thread("hilo principal");
    if (g_surface)
        return g_surface->isValid();
    g_surface = new QOffscreenSurface();
    g_surface->setFormat(gl_format());
    g_surface->create();
    return g_surface->isValid();
}

std::expected<std::shared_ptr<Gpu>, GpuFailure> create_gpu_gl(const GpuSources& sources)
{
    if (!g_surface || !g_surface->isValid())
        return std::unexpected(GpuFailure { GpuFailure::Kind::NoGpu, "sin OpenGL" });
    auto gpu = std::make_shared<GpuGl>();
    gpu->share = new QOpenGLContext();
    gpu->share->setFormat(gl_format());
    if (!gpu->share->create() || !gpu->share->makeCurrent(g_surface)) {
        delete gpu->share;
        gpu->share = nullptr;
        return std::unexpected(GpuFailure { GpuFailure::Kind::NoGpu, "sin OpenGL" });
    }
    const QSurfaceFormat got = gpu->share->format();
    if (got.majorVersion() * 10 + got.minorVersion() < 33) {
        gpu->share->doneCurrent();
        return std::unexpected(GpuFailure { GpuFailure::Kind::NoGpu, "sin OpenGL 3.3" });
    }
    const auto* name = reinterpret_cast<const char*>(gpu->share->functions()->glGetString(GL_RENDERER));
    gpu->renderer_name = name ? name : "";
    auto lens = build_program(sources.vertex, sources.lens);
    if (!lens) {
        gpu->share->doneCurrent();
        return std::unexpected(GpuFailure { GpuFailure::Kind::Compile, lens.error() });
    }
    gpu->lens_program = *lens;
    auto ring = build_program(sources.vertex, sources.ring);
    if (!ring) {
        gpu->share->doneCurrent();
        return std::unexpected(GpuFailure { GpuFailure::Kind::Compile, ring.error() });
    }
    gpu->lens_program = *lens;
    gpu->ring_program = *ring;
    gpu->lens = (*lens)->programId();
    gpu->ring = (*ring)->programId();
    gpu->share->doneCurrent();
    return gpu;
}

} // namespace platform
