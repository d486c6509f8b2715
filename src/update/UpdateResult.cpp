#include "update/UpdateResult.h"

const char* ToText(UpdateResult result) {
    switch (result) {
        case UpdateResult::Ok: return "Ok";
        case UpdateResult::ListRejected: return "ListRejected";
        case UpdateResult::LocalListUnreadable: return "LocalListUnreadable";
    }
    return "";
}

const char* ToText(DownloadOutcome outcome) {
    switch (outcome) {
        case DownloadOutcome::Succeeded: return "Succeeded";
        case DownloadOutcome::Failed: return "Failed";
        case DownloadOutcome::RetriesFailed: return "RetriesFailed";
    }
    return "";
}

const char* ToText(NewListOutcome outcome) {
    switch (outcome) {
        case NewListOutcome::Installed: return "Installed";
        case NewListOutcome::Failed: return "Failed";
        case NewListOutcome::RetriesFailed: return "RetriesFailed";
    }
    return "";
}
