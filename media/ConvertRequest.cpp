#include "ConvertRequest.h"

void ConvertCancel::request()
{
    flag.store(true);
    std::lock_guard<std::mutex> lock(mutex);
    if (hook) {
        const std::function<void()> once = std::move(hook);
        hook = nullptr;
        once();
    }
}

bool ConvertCancel::requested() const { return flag.load(); }

void ConvertCancel::setHook(std::function<void()> newHook)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (newHook && flag.load()) {
        newHook();
        hook = nullptr;
        return;
    }
    hook = std::move(newHook);
}
