#pragma once
// A small software GPU with the platform's rendering model, for code written against one:
// devices, buffers, textures (8-bit BGRA, sRGB-encoded or linear), samplers, shader libraries
// of named C++ functions, render pipelines with blending, and command buffers whose render
// passes are recorded as they are encoded (tests read the stream) and run when committed.
// Triangles are rasterised at pixel centres with a top-left fill rule, so two triangles that
// share an edge cover each pixel once; blending happens in linear space (an sRGB target is
// decoded before and encoded after). One thread at a time per command buffer.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Platform/Foundation/Error.h"

namespace graphics::gpu {

enum class PixelFormat : unsigned { bgra8Unorm = 80, bgra8Unorm_sRGB = 81 };
enum class BlendFactor { zero, one, sourceAlpha, oneMinusSourceAlpha };
enum class BlendOperation { add, max };
enum class LoadAction { dontCare, load, clear };
enum class StoreAction { dontCare, store };
enum class CullMode { none, front, back };
enum class IndexType { uint16, uint32 };
enum class SamplerAddressMode { clampToEdge };
enum class SamplerFilter { nearest, linear };

using Float4 = std::array<float, 4>;

class Buffer {
public:
    explicit Buffer(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) { }
    const std::vector<uint8_t>& contents() const { return m_bytes; }
    size_t length() const { return m_bytes.size(); }

private:
    std::vector<uint8_t> m_bytes;
};
using BufferPtr = std::shared_ptr<Buffer>;

// Pixels are B, G, R, A bytes, row 0 at the top.
class Texture {
public:
    Texture(size_t width, size_t height, PixelFormat format);
    size_t width() const { return m_width; }
    size_t height() const { return m_height; }
    PixelFormat pixelFormat() const { return m_format; }
    std::vector<uint8_t>& bytes() { return m_bytes; }
    const std::vector<uint8_t>& bytes() const { return m_bytes; }
    // A texel as linear, straight-from-storage floats 0...1 (R, G, B, A), decoding sRGB.
    Float4 read(size_t x, size_t y) const;
    void write(size_t x, size_t y, const Float4& linearRGBA);
    // Bilinear (or nearest) sample at normalised coordinates, clamped to the edge.
    Float4 sample(float u, float v, SamplerFilter filter) const;

private:
    size_t m_width;
    size_t m_height;
    PixelFormat m_format;
    std::vector<uint8_t> m_bytes;
};
using TexturePtr = std::shared_ptr<Texture>;

struct SamplerDescriptor {
    SamplerAddressMode sAddressMode = SamplerAddressMode::clampToEdge;
    SamplerAddressMode tAddressMode = SamplerAddressMode::clampToEdge;
    SamplerFilter minFilter = SamplerFilter::nearest;
    SamplerFilter magFilter = SamplerFilter::nearest;
};
using SamplerState = std::shared_ptr<const SamplerDescriptor>;

// What a vertex function hands on: the clip-space position and up to eight varyings.
struct VertexOut {
    Float4 position {0, 0, 0, 1};
    std::array<float, 8> varyings {};
};

// The resources a draw binds, as shaders see them.
struct Bindings {
    std::map<int, std::vector<uint8_t>> vertexBuffers; // index -> bytes (from the offset)
    std::map<int, TexturePtr> fragmentTextures;
    std::map<int, SamplerState> fragmentSamplers;
};

using VertexFunction = std::function<VertexOut(uint32_t vertexID, uint32_t instanceID, const Bindings&)>;
// Gets the interpolated varyings and the pixel's centre (x right, y down, in pixels).
using FragmentFunction = std::function<Float4(const VertexOut&, const std::array<float, 2>& pixel, const Bindings&)>;

class Library {
public:
    std::optional<VertexFunction> vertexFunction(const std::string& name) const;
    std::optional<FragmentFunction> fragmentFunction(const std::string& name) const;
    void addVertexFunction(const std::string& name, VertexFunction f) { m_vertex[name] = std::move(f); }
    void addFragmentFunction(const std::string& name, FragmentFunction f) { m_fragment[name] = std::move(f); }

private:
    std::map<std::string, VertexFunction> m_vertex;
    std::map<std::string, FragmentFunction> m_fragment;
};
using LibraryPtr = std::shared_ptr<const Library>;

// A bundle's default library: the one a bundle registered under its identifier.
void registerDefaultLibrary(const std::string& bundleIdentifier, LibraryPtr library);

struct ColorAttachmentDescriptor {
    PixelFormat pixelFormat = PixelFormat::bgra8Unorm;
    bool blendingEnabled = false;
    BlendFactor sourceRGBBlendFactor = BlendFactor::one;
    BlendFactor destinationRGBBlendFactor = BlendFactor::zero;
    BlendFactor sourceAlphaBlendFactor = BlendFactor::one;
    BlendFactor destinationAlphaBlendFactor = BlendFactor::zero;
    BlendOperation rgbBlendOperation = BlendOperation::add;
    BlendOperation alphaBlendOperation = BlendOperation::add;
};

struct RenderPipelineDescriptor {
    std::string label;
    std::string vertexFunctionName;
    std::string fragmentFunctionName;
    ColorAttachmentDescriptor colorAttachment;
};

struct RenderPipelineState {
    RenderPipelineDescriptor descriptor;
    VertexFunction vertexFunction;
    FragmentFunction fragmentFunction;
};
using RenderPipelineStatePtr = std::shared_ptr<const RenderPipelineState>;

// Errors of device calls: domain "GPUErrorDomain".
extern const std::string GPUErrorDomain;
enum GPUErrorCode : long { GPUNoDefaultLibrary = 1, GPUFunctionNotFound = 2, GPUInvalidPipeline = 3 };

class Device {
public:
    static std::shared_ptr<Device> createSystemDefaultDevice();
    LibraryPtr newDefaultLibraryWithBundle(const std::string& bundleIdentifier, foundation::ErrorPtr* error) const;
    // Looks the functions up in `library`; none with an error when one is missing.
    RenderPipelineStatePtr newRenderPipelineState(const RenderPipelineDescriptor& descriptor, const Library& library,
                                                  foundation::ErrorPtr* error) const;
    SamplerState newSamplerState(const SamplerDescriptor& descriptor) const;
    BufferPtr newBuffer(const void* bytes, size_t length, unsigned options) const;
    TexturePtr newTexture(size_t width, size_t height, PixelFormat format) const;
};
using DevicePtr = std::shared_ptr<Device>;

struct RenderPassDescriptor {
    TexturePtr texture;
    LoadAction loadAction = LoadAction::dontCare;
    StoreAction storeAction = StoreAction::store;
    Float4 clearColor {0, 0, 0, 1};
};

// One recorded command of a render pass, with copies of what it was given.
struct SetRenderPipelineState { std::string label; };
struct SetCullMode { CullMode mode; };
struct SetVertexBuffer { int index; size_t length; size_t offset; };
struct SetVertexBytes { int index; std::vector<uint8_t> bytes; };
struct SetFragmentTexture { int index; };
struct SetFragmentSamplerState { int index; };
struct DrawIndexedPrimitives { size_t indexCount; IndexType indexType; size_t indexBufferOffset; size_t instanceCount; };
using Command = std::variant<SetRenderPipelineState, SetCullMode, SetVertexBuffer, SetVertexBytes, SetFragmentTexture,
                             SetFragmentSamplerState, DrawIndexedPrimitives>;

struct RecordedPass {
    RenderPassDescriptor descriptor; // empty texture for an encoder the caller opened elsewhere
    std::vector<Command> commands;
};

class RenderCommandEncoder;

class CommandBuffer {
public:
    // Opens a render pass on the descriptor's texture.
    std::shared_ptr<RenderCommandEncoder> renderCommandEncoderWithDescriptor(const RenderPassDescriptor& descriptor);
    const std::vector<RecordedPass>& passes() const { return m_passes; }
    // Runs every pass in order.
    void commit();

private:
    friend class RenderCommandEncoder;
    struct Work;
    std::vector<RecordedPass> m_passes;
    std::vector<std::function<void()>> m_work;
};

class RenderCommandEncoder {
public:
    void setRenderPipelineState(const RenderPipelineStatePtr& state);
    void setCullMode(CullMode mode);
    void setVertexBuffer(const BufferPtr& buffer, size_t offset, int index);
    void setVertexBytes(const void* bytes, size_t length, int index);
    void setFragmentTexture(const TexturePtr& texture, int index);
    void setFragmentSamplerState(const SamplerState& sampler, int index);
    void drawIndexedPrimitives(size_t indexCount, IndexType indexType, const BufferPtr& indexBuffer, size_t indexBufferOffset,
                               size_t instanceCount = 1);
    void endEncoding();
    bool isEnded() const { return m_ended; }

    RenderCommandEncoder(CommandBuffer& buffer, size_t pass);

private:
    RecordedPass& pass();

    CommandBuffer& m_buffer;
    size_t m_pass;
    RenderPipelineStatePtr m_pipeline;
    CullMode m_cull = CullMode::none;
    Bindings m_bindings;
    bool m_ended = false;
};

} // namespace graphics::gpu
