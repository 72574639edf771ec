// Message templates applied to objects: add mode fills a new object with its template's
// attributes; update mode attaches the template to the attributes an object already has.
#ifndef TESSEL_DATA_TEMPLATES_APPLY_HPP_
#define TESSEL_DATA_TEMPLATES_APPLY_HPP_

#include <cstdint>

#include "core/status.hpp"
#include "data/object.hpp"

namespace tessel::data {

struct Template;

// Whether the services profile gives `service` the DIMSE command `command`.
bool service_has_command(const char* service, uint16_t command);

// The template of an object's own service and command (Message, File, DICOMDIR) or item name
// (Item, SR). `*out` is null, with success, when there is none to look for: a name that is not
// configured, a command the service lacks, a command that takes no template. Otherwise the
// statuses of the template lookup (CV_MESSAGE_INFO_FILE_ERROR, CV_SYSTEM_ERROR, ...).
Status find_object_template(const MsgObj& object, const struct Template** out);

// Add mode. Adds every template attribute to the object with the template's VR and VM and
// attaches the template information; an attribute the object already has (the command group
// of a new message) only receives the information and VM bounds. Private attributes find the
// block of their creator code, and a missing block is created at the lowest free creator
// element with the code as its value; the attribute's tag takes that block number. A template
// creator element gets its value set. Default values stay in the template. Sets the
// template-applied flag. Messages and files whose command takes no template are left as they
// are (flag clear). Failures are logged under `function`: "Problem with Message Info File."
// (the add's status), "Unable to create Private Creator Code attribute: %s" (the add's status,
// or CV_TOO_MANY_BLOCKS when a group has no free block), "ERROR setting private creator code
// value: %s" (CV_SYSTEM_ERROR). A failed application leaves a partly filled object, which the
// caller frees.
Status apply_template_add(MsgObj& object, const Template& tmpl, const char* function);

// Update mode: for every template attribute at `first_tag` or above that the object holds
// (private attributes through the object's existing blocks), attaches the template information
// and VM bounds. Adds nothing; the template-applied flag is left as it is.
void apply_template_update(MsgObj& object, const Template& tmpl, uint32_t first_tag);

}  // namespace tessel::data

#endif  // TESSEL_DATA_TEMPLATES_APPLY_HPP_
