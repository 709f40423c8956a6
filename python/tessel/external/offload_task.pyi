"""Job framework of the external analyses: the base class that runs a job on the platform,
job content, file bodies in result content, streamed results and OAuth 2.0 tokens."""

import logging
from abc import ABC
from io import BytesIO
from typing import (
    IO,
    Any,
    AnyStr,
    ClassVar,
    Dict,
    Iterator,
    ItemsView,
    KeysView,
    Optional,
    TextIO,
    Tuple,
    Type,
    Union,
)

from tessel.core import File, _SerializableObject

logger: logging.Logger
RESULT_CONTENT_NOT_PRESENT: str
_dseries_exception_map: Dict[str, Tuple[str, Type[Exception]]]
_BASE64_MIN_DECODE_CHUNK: int

class _JobContent(_SerializableObject):
    """Container for the input of a Job class instance."""

    _data: Dict[str, Any]
    def __init__(self, _dict: Optional[Dict[str, Any]] = None, **kwargs: Any) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _StreamedDict:
    """Helper class that can be used in OffloadTask.execute to save the _result_content, so that it can be handled
    both as a dict (backward compatibility), or streamed, to cope with large files."""

    _file: File
    _encoding: str
    _keys: Any
    def __init__(self, file: File, encoding: str = "utf-8") -> None: ...
    @classmethod
    def from_url(cls, url: str, encoding: str = "utf-8") -> "_StreamedDict": ...
    @classmethod
    def from_dict(cls, d: Dict[str, Any], encoding: str = "utf-8") -> "_StreamedDict": ...
    @property
    def encoding(self) -> str: ...
    def keys(self) -> KeysView[str]: ...
    def __contains__(self, item: Any) -> bool: ...
    def __getitem__(self, item: str) -> Any: ...
    def get(self, key: str, default: Any = None) -> Any: ...
    def items(self) -> ItemsView[str, Any]: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def stream_dict_value(self, key: str, *, buffer_size: int = 65536) -> Iterator[str]: ...
    def get_value_as_file(
        self, key: str, *, base64_decode: bool = True, decompress: bool = False
    ) -> Optional[File]: ...
    @classmethod
    def _stream_between_strings(
        cls,
        file: IO[AnyStr],
        string_from: AnyStr,
        string_to: Optional[AnyStr] = None,
        *,
        start: int = 0,
        buffer_size: int = 65536,
    ) -> Iterator[AnyStr]: ...
    @staticmethod
    def _find_word_position(file: IO[AnyStr], word: AnyStr, *, start: int = 0, buffer_size: int = 65536) -> int: ...

class OAuth2Integration:
    """ ::version(14.23.0)

    Third-party OAuth 2.0 integration.

    Example:

    .. code-block:: python

        integration = OAuth2Integration('my-oauth2-integration')
        access_token = integration.get_access_token()
        # use access_token to do request on host URL associated with integration 'my-oauth2-integration'
    """

    _name: str
    def __init__(self, name: str) -> None: ...
    def get_access_token(self) -> str: ...

class OffloadTask(ABC):
    """Base-class of an external analysis.

    .. warning:: Do not use this class directly in an application!"""

    _multipart_job_content: ClassVar[bool]
    _queue_name: str
    _version: int
    _result_content: Union[None, Dict[str, Any], _StreamedDict]
    def __init__(self, queue_name: str, version: int) -> None: ...
    @property
    def _job_content(self) -> Dict[str, Any]: ...
    def _generate_job_content(self) -> _JobContent: ...
    def _write_job_content(self, w: TextIO) -> None: ...
    def _get_job_content(self, timeout: int) -> Union[File, Dict[str, Any]]: ...
    def _handle_execution_error(self, message: str) -> None: ...
    def _handle_generic_error(self, message: str, status: str) -> None: ...
    def execute(self, timeout: int = 25) -> None: ...
    def _get_result_content(self) -> Union[Dict[str, Any], _StreamedDict]: ...
    def _get_result(
        self, key: str, *, as_file: bool, base64_decode: bool = True
    ) -> Optional[Union[BytesIO, File]]: ...
    @staticmethod
    def _upload_job_content(upload_url: str, upload_data: Dict[str, Any], job_content: Union[File, Dict[str, Any]]) -> None: ...
    @staticmethod
    def _write_file_content_to_file(
        file_to: IO[str], file_from: IO[bytes], *, encoding: str = "utf-8", base64_encoding: bool = False
    ) -> None: ...

def _get_file_body(file_content: str, encoding: str = "utf-8") -> Optional[BytesIO]: ...
def _get_dseries_file_body(result_content: Dict[str, Any], extension: str) -> Optional[BytesIO]: ...
