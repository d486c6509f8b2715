#include "catalogue/CatalogueResult.h"

const char* ToText(CatalogueResult result) {
    switch (result) {
        case CatalogueResult::Ok: return "Ok";
        case CatalogueResult::WriteFailed: return "WriteFailed";
        case CatalogueResult::ReadFailed: return "ReadFailed";
        case CatalogueResult::ListFormatError: return "ListFormatError";
        case CatalogueResult::ListUnopenable: return "ListUnopenable";
        case CatalogueResult::MissingName: return "MissingName";
        case CatalogueResult::RowRefused: return "RowRefused";
        case CatalogueResult::ImportRefused: return "ImportRefused";
    }
    return "";
}
