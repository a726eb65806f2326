#include "MovaraKit/HTTP/NKHTTPRequestOperation.h"

#include <cerrno>
#include <new>

#include "MovaraKit/HTTP/NKPlatformCoding.h"

#include <mutex>

namespace {

const dispatch::QueuePtr& processingQueue()
{
    // Never released: blocks may still run on it while the process exits.
    static const auto& queue = *new auto(dispatch::Queue::concurrent("com.wirefern.networking.http-request.processing"));
    return queue;
}

const dispatch::GroupPtr& requestGroup()
{
    // Never released: blocks may still run on it while the process exits.
    static const auto& group = *new auto(dispatch::Group::make());
    return group;
}

} // namespace

NKHTTPRequestOperation::NKHTTPRequestOperation(net::URLRequest request)
    : NKURLConnectionOperation(std::move(request))
    , m_responseSerializer(NKHTTPResponseSerializer::serializer())
{
}

std::shared_ptr<NKHTTPRequestOperation> NKHTTPRequestOperation::initWithRequest(const net::URLRequest& request)
{
    struct Enabler : NKHTTPRequestOperation {
        explicit Enabler(const net::URLRequest& r) : NKHTTPRequestOperation(r) { }
    };
    return std::make_shared<Enabler>(request);
}

std::shared_ptr<NKURLResponseSerialization> NKHTTPRequestOperation::responseSerializer() const
{
    std::lock_guard guard(lock());
    return m_responseSerializer;
}

void NKHTTPRequestOperation::setResponseSerializer(std::shared_ptr<NKURLResponseSerialization> serializer)
{
    std::lock_guard guard(lock());
    m_responseSerializer = std::move(serializer);
    m_responseObject.reset();
    m_serialized = false;
    m_responseSerializationError = nullptr;
}

std::any NKHTTPRequestOperation::responseObject() const
{
    std::lock_guard guard(lock());
    if (!m_serialized && isFinished() && !error() && m_responseSerializer) {
        foundation::ErrorPtr serializationError;
        // Decoding can outgrow memory where the body did not: that fails this operation alone.
        try {
            m_responseObject = m_responseSerializer->responseObjectForResponse(response(), responseData(), &serializationError);
        } catch (const std::bad_alloc&) {
            m_responseObject.reset();
            serializationError = foundation::Error::posix(ENOMEM, "response");
        }
        m_serialized = true;
        m_responseSerializationError = serializationError;
    }
    return m_responseObject;
}

foundation::ErrorPtr NKHTTPRequestOperation::error() const
{
    std::lock_guard guard(lock());
    if (m_responseSerializationError)
        return m_responseSerializationError;
    return NKURLConnectionOperation::error();
}

void NKHTTPRequestOperation::setCompletionBlockWithSuccess(Success success, Failure failure)
{
    std::weak_ptr<Operation> weak = weak_from_this();
    setCompletionBlock([weak, success = std::move(success), failure = std::move(failure)] {
        auto self = std::static_pointer_cast<NKHTTPRequestOperation>(weak.lock());
        if (!self)
            return;
        auto ownGroup = self->completionGroup();
        if (ownGroup)
            ownGroup->enter();
        processingQueue()->async([self, ownGroup, success, failure] {
            auto queue = self->completionQueue() ? self->completionQueue() : dispatch::Queue::main();
            auto group = ownGroup ? ownGroup : requestGroup();
            if (auto error = self->error()) {
                if (failure)
                    group->async(queue, [self, failure, error] { failure(self, error); });
            } else {
                std::any object = self->responseObject();
                if (auto serializationError = self->error()) {
                    if (failure)
                        group->async(queue, [self, failure, serializationError] { failure(self, serializationError); });
                } else if (success) {
                    group->async(queue, [self, success, object] { success(self, object); });
                }
            }
            if (ownGroup)
                ownGroup->leave();
        });
    });
}

std::shared_ptr<NKHTTPRequestOperation> NKHTTPRequestOperation::copy() const
{
    auto other = initWithRequest(request());
    copyBlocksTo(*other);
    auto serializer = responseSerializer();
    if (auto http = std::dynamic_pointer_cast<NKHTTPResponseSerializer>(serializer))
        other->setResponseSerializer(http->copy());
    else
        other->setResponseSerializer(serializer);
    return other;
}

void NKHTTPRequestOperation::encodeWithCoder(foundation::KeyedArchiver& coder) const
{
    NKURLConnectionOperation::encodeWithCoder(coder);
    if (auto serializer = std::dynamic_pointer_cast<const foundation::Coding>(responseSerializer()))
        coder.encodeObject(serializer, "responseSerializer");
}

std::shared_ptr<NKHTTPRequestOperation> NKHTTPRequestOperation::initWithCoder(foundation::KeyedUnarchiver& coder)
{
    auto request = NKDecodeRequest(coder, "request");
    if (!request) {
        if (!coder.error())
            coder.failWithError(foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSCoderValueNotFoundError,
                                                        "The archived operation has no request."));
        return nullptr;
    }
    auto operation = initWithRequest(*request);
    operation->restoreWithCoder(coder);
    auto serializer = coder.decodeObjectOfClass<NKHTTPResponseSerializer>("NKHTTPResponseSerializer", "responseSerializer");
    if (coder.error())
        return nullptr;
    if (serializer)
        operation->setResponseSerializer(std::move(serializer));
    return operation;
}

namespace {

const bool registered = [] {
    foundation::KeyedArchiver::registerClass({ "NKURLConnectionOperation", {}, true, 0, [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
        return NKURLConnectionOperation::initWithCoder(coder);
    } });
    foundation::KeyedArchiver::registerClass({ "NKHTTPRequestOperation", { "NKURLConnectionOperation" }, true, 0,
                                               [](foundation::KeyedUnarchiver& coder) -> foundation::CodingPtr {
                                                   return NKHTTPRequestOperation::initWithCoder(coder);
                                               } });
    return true;
}();

} // namespace

void NKHTTPRequestOperation::pause()
{
    const bool wasPaused = isPaused();
    NKURLConnectionOperation::pause();
    if (wasPaused || !isPaused())
        return;
    std::lock_guard guard(lock());
    auto stream = outputStream();
    std::uint64_t received = 0;
    if (auto offset = stream->fileCurrentOffset())
        received = *offset;
    else if (auto data = stream->dataWrittenToMemory())
        received = data->size();
    net::URLRequest request = this->request();
    if (auto answered = response()) {
        if (auto etag = answered->valueForHTTPHeaderField("ETag"))
            request.setValueForHTTPHeaderField(*etag, "If-Range");
    }
    request.setValueForHTTPHeaderField("bytes=" + std::to_string(received) + "-", "Range");
    setRequest(request);
}
