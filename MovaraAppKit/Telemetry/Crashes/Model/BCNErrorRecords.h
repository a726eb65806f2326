#pragma once
// The records of a crash or handled error as the ingestion receives them: an exception with
// its frames and inner exceptions, a thread, a stack frame, a loaded binary, and the exception a
// wrapper SDK leaves on disk. Plain containers; the producer decides the text of every value.

#include "MovaraAppKit/Telemetry/Crashes/Model/BCNErrorFields.h"

// Logs "<Class>: "<field>" is not valid." and answers false.
bool BCNRecordFieldInvalid(const std::string& className, const std::string& field);

class BCNStackFrame : public BCNFieldRecord<BCNStackFrame> {
public:
    static constexpr const char* kClassName = "BCNStackFrame";
    std::optional<std::string> address, code, frameClassName, methodName;
    std::optional<std::int64_t> lineNumber;
    std::optional<std::string> fileName;

    template <class Self, class F> static void fields(Self& s, F&& f)
    {
        f("address", s.address), f("code", s.code), f("className", s.frameClassName), f("methodName", s.methodName);
        f("lineNumber", s.lineNumber), f("fileName", s.fileName);
    }
};

class BCNException : public BCNFieldRecord<BCNException> {
public:
    static constexpr const char* kClassName = "BCNException";
    std::optional<std::string> type, message, stackTrace, wrapperSdkName;
    BCNRecordList<BCNStackFrame> frames;
    BCNRecordList<BCNException> innerExceptions;

    template <class Self, class F> static void fields(Self& s, F&& f)
    {
        f("type", s.type), f("message", s.message), f("stackTrace", s.stackTrace), f("wrapperSdkName", s.wrapperSdkName);
        f("frames", s.frames), f("innerExceptions", s.innerExceptions);
    }
    // A type and at least one frame.
    bool isValid() const;
};

class BCNThread : public BCNFieldRecord<BCNThread> {
public:
    static constexpr const char* kClassName = "BCNThread";
    std::optional<std::int64_t> threadId;
    std::optional<std::string> name;
    BCNRecordList<BCNStackFrame> frames = std::vector<std::shared_ptr<BCNStackFrame>> {};
    std::shared_ptr<BCNException> exception;

    template <class Self, class F> static void fields(Self& s, F&& f)
    {
        f("id", s.threadId), f("name", s.name), f("frames", s.frames), f("exception", s.exception);
    }
    // An id and at least one frame.
    bool isValid() const;
};

class BCNBinary : public BCNFieldRecord<BCNBinary> {
public:
    static constexpr const char* kClassName = "BCNBinary";
    std::optional<std::string> binaryId, startAddress, endAddress, name, path, architecture;
    std::optional<std::int64_t> primaryArchitectureId, architectureVariantId;

    template <class Self, class F> static void fields(Self& s, F&& f)
    {
        f("id", s.binaryId), f("startAddress", s.startAddress), f("endAddress", s.endAddress), f("name", s.name), f("path", s.path);
        f("architecture", s.architecture), f("primaryArchitectureId", s.primaryArchitectureId);
        f("architectureVariantId", s.architectureVariantId);
    }
    // Id, both addresses, name and path.
    bool isValid() const;
};

// Kept on disk only; compared by identity.
class BCNWrapperException : public BCNFieldRecord<BCNWrapperException> {
public:
    static constexpr const char* kClassName = "BCNWrapperException";
    std::shared_ptr<BCNException> modelException;
    std::optional<std::int64_t> processId;
    std::optional<foundation::Data> exceptionData;

    template <class Self, class F> static void fields(Self& s, F&& f)
    {
        f("modelException", s.modelException), f("processId", s.processId), f("exceptionData", s.exceptionData);
    }
};
