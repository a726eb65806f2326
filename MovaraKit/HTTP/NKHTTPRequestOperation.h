#pragma once
// The HTTP request operation: a connection operation whose finished response goes through a
// response serializer (a plain NKHTTPResponseSerializer unless replaced), with a success and a
// failure block. Serialization runs on a concurrent processing queue, the blocks on the
// completion queue (the main queue when none). start() returns at once; no queue is needed.

#include <any>
#include <functional>
#include <memory>

#include "MovaraKit/HTTP/NKHTTPResponseSerializer.h"
#include "MovaraKit/HTTP/NKURLConnectionOperation.h"

class NKHTTPRequestOperation : public NKURLConnectionOperation {
public:
    using Success = std::function<void(const std::shared_ptr<NKHTTPRequestOperation>& operation, const std::any& responseObject)>;
    using Failure = std::function<void(const std::shared_ptr<NKHTTPRequestOperation>& operation, const foundation::ErrorPtr& error)>;

    static std::shared_ptr<NKHTTPRequestOperation> initWithRequest(const net::URLRequest& request);

    std::shared_ptr<NKURLResponseSerialization> responseSerializer() const;
    // Also forgets the object and error of an earlier serialization.
    void setResponseSerializer(std::shared_ptr<NKURLResponseSerialization> serializer);

    // Serializes once, when the operation has finished without an error; stored afterwards.
    std::any responseObject() const;
    // The serializer's error when it rejected the response, else the transfer's error.
    foundation::ErrorPtr error() const override;

    // Exactly one of the two runs at the end (either may be null).
    void setCompletionBlockWithSuccess(Success success, Failure failure);

    // Also turns the request into one for the rest of the body ("Range" from the bytes
    // already received, "If-Range" from the response's ETag), so that resume() goes on.
    void pause() override;

    // A copy also has a copy of the response serializer.
    std::shared_ptr<NKHTTPRequestOperation> copy() const;

    // Archives add the response serializer (when it can be archived).
    std::string className() const override { return "NKHTTPRequestOperation"; }
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
    static std::shared_ptr<NKHTTPRequestOperation> initWithCoder(foundation::KeyedUnarchiver& coder);

protected:
    explicit NKHTTPRequestOperation(net::URLRequest request);
    std::shared_ptr<NKURLConnectionOperation> makeCopy() const override { return copy(); }

private:
    std::shared_ptr<NKURLResponseSerialization> m_responseSerializer;
    mutable std::any m_responseObject;
    mutable bool m_serialized = false;
    mutable foundation::ErrorPtr m_responseSerializationError;
};
