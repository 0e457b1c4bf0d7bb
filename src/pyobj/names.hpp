// The few Python names the layer itself uses. The plug-in's own vocabulary
// lives with the plug-in (glue/names.hpp); the layer knows nothing of it.
#pragma once

#include "ref.hpp"

namespace vs::layer_names {

inline const Name contextmanager{"contextmanager"};
inline const Name dunder_doc{"__doc__"};
inline const Name dunder_file{"__file__"};
inline const Name dunder_module{"__module__"};
inline const Name dunder_name{"__name__"};
inline const Name dunder_qualname{"__qualname__"};
inline const Name items{"items"};
inline const Name literal_eval{"literal_eval"};

}  // namespace vs::layer_names
