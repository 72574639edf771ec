/* Tessel DICOM toolkit: the public C interface.
 *
 * Every exported function returns a status code (tessel_status.h); objects are addressed by
 * integer identifiers. Include this header only; it pulls in the family headers beside it. */
#ifndef TESSEL_TESSEL_H_
#define TESSEL_TESSEL_H_

#include "tessel/tessel_association.h"
#include "tessel/tessel_config.h"
#include "tessel/tessel_core.h"
#include "tessel/tessel_defs.h"
#include "tessel/tessel_dictionary.h"
#include "tessel/tessel_dimse.h"
#include "tessel/tessel_file.h"
#include "tessel/tessel_message.h"
#include "tessel/tessel_network.h"
#include "tessel/tessel_private.h"
#include "tessel/tessel_services.h"
#include "tessel/tessel_status.h"
#include "tessel/tessel_stream.h"
#include "tessel/tessel_syntax.h"
#include "tessel/tessel_values.h"
#include "tessel/tessel_version.h"

#endif /* TESSEL_TESSEL_H_ */
