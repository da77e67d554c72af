"""Local cloud for the camera device: broker, device registry, platform
agent, and the platform's commands (used by the devcloud command and by
end-to-end tests through devcloud_lib.testing)."""

from .cloud import Cloud, CloudError, Device, NotRunning
from .identity import password, user_name

__all__ = ["Cloud", "CloudError", "Device", "NotRunning", "password", "user_name"]
