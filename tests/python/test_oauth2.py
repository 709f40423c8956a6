"""OAuth2Integration: every token request goes to a new API client of the
host SDK with the integration's name, and its errors pass through."""

from unittest import mock

import pytest

import tessel.external.offload_task as offload_task
from tessel.errors import PermissionDeniedError, PreconditionFailedError, ResourceNotFoundError

OAuth2Integration = offload_task.OAuth2Integration


@pytest.fixture
def api():
    with mock.patch.object(offload_task, "API") as api:
        api.return_value._oauth2_integration_rotate_access_token.side_effect = ["token-1", "token-2"]
        yield api


def test_documentation_carries_the_version_marker_and_example():
    doc = OAuth2Integration.__doc__
    assert doc.startswith(" ::version(14.23.0)\n\nThird-party OAuth 2.0 integration.")
    assert "OAuth2Integration('my-oauth2-integration')" in doc
    assert "use access_token to do request on host URL associated with integration 'my-oauth2-integration'" in doc
    assert OAuth2Integration.get_access_token.__doc__.startswith("Obtain the personal access token\n")


def test_construction_only_stores_the_name(api):
    assert OAuth2Integration("cad").__dict__ == {"_name": "cad"}
    assert OAuth2Integration(name="cad")._name == "cad"
    api.assert_not_called()
    with pytest.raises(TypeError):
        OAuth2Integration()


@pytest.mark.parametrize("name", ["my-oauth2-integration", " Mixed Case ", ""])
def test_every_call_asks_a_new_client_with_the_name_unchanged(api, name):
    integration = OAuth2Integration(name)
    assert [integration.get_access_token(), integration.get_access_token()] == ["token-1", "token-2"]
    assert api.call_args_list == [mock.call(), mock.call()]
    assert api.return_value._oauth2_integration_rotate_access_token.call_args_list == [
        mock.call(name), mock.call(name)]


@pytest.mark.parametrize(
    "error",
    [PermissionDeniedError("needs login"), ResourceNotFoundError("not found"), PreconditionFailedError("not assigned")],
)
def test_errors_of_the_client_pass_through(api, error):
    api.return_value._oauth2_integration_rotate_access_token.side_effect = error
    with pytest.raises(type(error)) as excinfo:
        OAuth2Integration("cad").get_access_token()
    assert excinfo.value is error
