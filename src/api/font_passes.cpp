#include "api/font_passes.h"

#include "api/result_codes.h"
#include "base/error.h"
#include "font/ot_errors.h"

namespace fontseal {

int32_t result_for_current_exception() {
    try {
        throw;
    } catch (const OT_EXCEPTION& e) {
        switch (e.code) {
            case kOtBadDirectory:
            case kOtWoff:
            case kOtWoff2:
            case kOtCollection:
            case kOtNotSfnt:
            case kOtTooLarge:
                return kResultFontDirectory;
            case kOtCannotOpen:
                return kResultInputOpen;
            case kOtCannotCreate:
                return kResultOutputCreate;
            default:
                // Objects used without the stream or owner they need.
                return kResultFontObject;
        }
    } catch (const error& e) {
        return e.code;
    } catch (...) {
        // Allocation failures and array index faults have no code of their own.
        return kResultInternal;
    }
}

}  // namespace fontseal
