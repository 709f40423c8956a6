// OAuth2Integration: access tokens of an OAuth 2.0 integration configured on
// the platform, rotated by the platform on every request.
#include "offload_task/offload_task.h"

namespace tessel::offload_task {

void populate_oauth2(nb::module_&) {
    bind::ClassBuilder(g, "OAuth2Integration",
                       " ::version(14.23.0)\n\n"
                       "Third-party OAuth 2.0 integration.\n\n"
                       "Example:\n\n"
                       ".. code-block:: python\n\n"
                       "    integration = OAuth2Integration('my-oauth2-integration')\n"
                       "    access_token = integration.get_access_token()\n"
                       "    # use access_token to do request on host URL associated with integration "
                       "'my-oauth2-integration'\n")
        .def(
            "__init__", [](nb::handle self, nb::handle name) { nb::setattr(self, str<"_name">(), name); }, "name"_p,
            ":param name: name of the integration as configured on the platform")
        .def(
            "get_access_token",
            [](nb::handle self) {
                // A new client and a new request every time: the platform rotates the token.
                return g("API")().attr("_oauth2_integration_rotate_access_token")(self.attr("_name"));
            },
            "Obtain the personal access token\n\n"
            ":raises PermissionDeniedError: needs login from user\n"
            ":raises ResourceNotFoundError: integration not found\n"
            ":raises PreconditionFailedError: integration not assigned to this app")
        .build();
}

}  // namespace tessel::offload_task
